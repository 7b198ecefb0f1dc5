#include "codec/prelude.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/work_extent.h"

namespace {

// d[i] = d[i] + d[i - 1] (modulo 256) for i = from .. length - 1 in
// ascending order, each step adding the value the step before stored.
void runningSum(std::uint8_t* d, std::int32_t from, std::int32_t length) {
    std::int32_t i = from;
    std::uint8_t sum = d[from - 1];
#if defined(__SSE2__)
    // Sixteen bytes at a time: the running sum within the vector in four
    // shifted additions, plus the sum carried in from the bytes before.
    __m128i carry = _mm_set1_epi8(static_cast<char>(sum));
    for (; i + 16 <= length; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 1));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
        x = _mm_add_epi8(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), x);
        // The last byte in every lane.
        const __m128i high = _mm_unpackhi_epi8(x, x);
        carry = _mm_shuffle_epi32(_mm_unpackhi_epi16(high, high), 0xFF);
    }
    sum = static_cast<std::uint8_t>(_mm_cvtsi128_si32(carry));
#endif
    for (; i < length; ++i) {
        sum = static_cast<std::uint8_t>(sum + d[i]);
        d[i] = sum;
    }
}

} // namespace

std::int32_t reconstructPrelude(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return 0;
    }
    const std::int32_t n = valueCount(length);
    std::uint8_t* const d = DecodeBuffer.data();

    // Undoes the encoder's second-order differences: two running sums, the
    // first from index 2 on (seeded with D[1]), the second from index 1 on
    // (seeded with D[0]).
    runningSum(d, 2, length);
    runningSum(d, 1, length);

    // The interleave below rewrites T[0 .. 2h), so only the rest is copied.
    const std::int32_t interleaved = 2 * (n >> 1);
    std::copy(d + interleaved, d + length, ScratchBuffer.data() + interleaved);
    noteDecodeWritten(length);
    noteScratchWritten(length);
    interleaveHalves(n >> 1);
    return n;
}

void interleaveHalves(std::int32_t half) {
    if (half <= 0 || half > WorkBufferSize / 2) {
        return;
    }
    const std::uint8_t* const d = DecodeBuffer.data();
    std::uint8_t* const t = ScratchBuffer.data();
    // Reads only D and writes only T, so the order of j does not matter.
    for (std::int32_t j = 0; j < half; ++j) {
        t[2 * j] = d[j];
        t[2 * j + 1] = d[half + j];
    }
    noteScratchWritten(2 * half);
}

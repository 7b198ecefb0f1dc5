#include "codec/prelude.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/decoders.h"
#include "codec/lz_expand.h"

namespace {

#if defined(__SSE2__)
// The running sum within sixteen bytes, modulo 256: four shifted additions.
inline __m128i sumWithin(__m128i x) {
    x = _mm_add_epi8(x, _mm_slli_si128(x, 1));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 2));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
    return _mm_add_epi8(x, _mm_slli_si128(x, 8));
}

// The last byte of x in every lane.
inline __m128i lastByteEverywhere(__m128i x) {
    const __m128i high = _mm_unpackhi_epi8(x, x);
    return _mm_shuffle_epi32(_mm_unpackhi_epi16(high, high), 0xFF);
}
#endif

// Both running sums in one pass over d[1 .. length): the first,
// d[i] += d[i - 1] from index 2 on, then the second, d[i] += d[i - 1] from
// index 1 on, each step adding the value the step before stored. The second
// sum at i needs the first only up to i, so one pass that carries both sums
// gives what two passes one after the other give, with half the memory
// traffic.
void twoRunningSums(std::uint8_t* d, std::int32_t length) {
    // first: the first sum at i - 1 (d[1] as stored, since it starts at 2);
    // second: the second sum at i - 1.
    std::uint8_t first = d[1];
    std::uint8_t second = static_cast<std::uint8_t>(d[0] + d[1]);
    d[1] = second;
    std::int32_t i = 2;
#if defined(__SSE2__)
    __m128i firstCarry = _mm_set1_epi8(static_cast<char>(first));
    __m128i secondCarry = _mm_set1_epi8(static_cast<char>(second));
    for (; i + 16 <= length; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i once = _mm_add_epi8(sumWithin(x), firstCarry);
        const __m128i twice = _mm_add_epi8(sumWithin(once), secondCarry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), twice);
        firstCarry = lastByteEverywhere(once);
        secondCarry = lastByteEverywhere(twice);
    }
    first = static_cast<std::uint8_t>(_mm_cvtsi128_si32(firstCarry));
    second = static_cast<std::uint8_t>(_mm_cvtsi128_si32(secondCarry));
#endif
    for (; i < length; ++i) {
        first = static_cast<std::uint8_t>(first + d[i]);
        second = static_cast<std::uint8_t>(second + first);
        d[i] = second;
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
    twoRunningSums(d, length);

    // The interleave below rewrites T[0 .. 2h), so only the rest is copied.
    const std::int32_t interleaved = 2 * (n >> 1);
    std::copy(d + interleaved, d + length, ScratchBuffer.data() + interleaved);
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
}

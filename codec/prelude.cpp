#include "codec/prelude.h"

#include <algorithm>

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/work_extent.h"

std::int32_t reconstructPrelude(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return 0;
    }
    const std::int32_t n = valueCount(length);
    std::uint8_t* const d = DecodeBuffer.data();

    // Undoes the encoder's second-order differences: two running sums, the
    // first from index 2 on (seeded with D[1]), the second from index 1 on
    // (seeded with D[0]). Both run in one pass with the sums in registers:
    // at index i the first sum is complete up to i before the second takes it.
    std::uint8_t first = d[1];
    std::uint8_t second = static_cast<std::uint8_t>(d[0] + d[1]);
    d[1] = second;
    for (std::int32_t i = 2; i < length; ++i) {
        first = static_cast<std::uint8_t>(first + d[i]);
        second = static_cast<std::uint8_t>(second + first);
        d[i] = second;
    }

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

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

    // Undoes the encoder's second-order differences: each pass is a running
    // sum, so every step adds the value the pass has just stored.
    for (std::int32_t i = 2; i < length; ++i) {
        d[i] = static_cast<std::uint8_t>(d[i] + d[i - 1]);
    }
    for (std::int32_t i = 1; i < length; ++i) {
        d[i] = static_cast<std::uint8_t>(d[i] + d[i - 1]);
    }

    std::copy_n(d, length, ScratchBuffer.data());
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
    for (std::int32_t j = half - 1; j >= 0; --j) {
        t[2 * j] = d[j];
        t[2 * j + 1] = d[half + j];
    }
    noteScratchWritten(2 * half);
}

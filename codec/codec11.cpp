#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"
#include "codec/work_extent.h"

void packCodec11(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return;
    }
    const std::int32_t n = valueCount(length);
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();

    // Bytes 0 and 1 finish a triple begun in the previous block: the top of
    // its left value first.
    d[0] = highNibbleDown(t[n]);
    // The byte past the block is written when length % 3 == 0.
    noteDecodeWritten(length + 1);

    // Step i places value i - 1. An odd step ORs into the byte that the step
    // before it stored whole (byte 0 for i = 1), so the order matters.
    for (std::int32_t i = 1; i <= n; ++i) {
        const std::int32_t p = n + i / 2;
        const std::uint8_t value = t[i - 1];
        if (i % 2 == 1) {
            const std::int32_t q = 3 * (i - 1) / 2;
            d[q] = static_cast<std::uint8_t>(d[q] | highNibble(value));
            d[q + 1] = static_cast<std::uint8_t>(lowNibbleUp(value) | lowNibble(t[p]));
        } else {
            // When length % 3 == 0 the last such step writes d[length].
            const std::int32_t r = 3 * i / 2;
            d[r] = highNibbleDown(value);
            d[r - 1] = static_cast<std::uint8_t>(lowNibbleUp(value) | highNibbleDown(t[p]));
        }
    }
}

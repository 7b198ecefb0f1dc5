#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"
#include "codec/work_extent.h"

void packCodec12(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return;
    }
    const std::int32_t n = valueCount(length);
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();

    // Byte 0 ends the triple of the previous block and the last byte starts
    // one of the next; both travel whole. When length % 3 == 0 the loop
    // overwrites the last byte again.
    d[0] = t[length - 1];
    d[length - 1] = t[n - 1];
    noteDecodeWritten(length);

    // The odd step ORs into the middle byte that the even step before it
    // stored whole, so the order matters.
    for (std::int32_t k = 0; k <= n - 2; ++k) {
        const std::int32_t m = k / 2;
        const std::uint8_t nibbles = t[n + m];
        if (k % 2 == 0) {
            d[3 * m + 2] = highNibbleDown(t[k]);
            d[3 * m + 1] = static_cast<std::uint8_t>(lowNibbleUp(t[k]) | lowNibble(nibbles));
        } else {
            d[3 * m + 2] = static_cast<std::uint8_t>(d[3 * m + 2] | highNibble(t[k]));
            d[3 * m + 3] = static_cast<std::uint8_t>(lowNibbleUp(t[k]) | highNibbleDown(nibbles));
        }
    }
}

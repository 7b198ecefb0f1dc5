#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"
#include "codec/work_extent.h"

void packCodec10(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return;
    }
    const std::int32_t n = valueCount(length);
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();

    // Value i in stream order; the odd value ORs into the middle byte that the
    // even value before it stored whole, so the order matters.
    for (std::int32_t i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            const std::int32_t p = 3 * i / 2;
            d[p] = static_cast<std::uint8_t>(lowNibbleUp(t[i]) | lowNibble(t[n + i / 2]));
            d[p + 1] = highNibbleDown(t[i]);
        } else {
            const std::int32_t p = 3 * (i - 1) / 2;
            d[p + 2] = static_cast<std::uint8_t>(lowNibbleUp(t[i]) |
                                                 highNibbleDown(t[n + (i - 1) / 2 + 1]));
            d[p + 1] = static_cast<std::uint8_t>(d[p + 1] | highNibble(t[i]));
        }
    }

    // The first nibble byte's high nibble goes to the last triple.
    const std::int32_t f = 12 * (n - 1) / 8 + 1;
    d[f] = static_cast<std::uint8_t>(d[f] | highNibble(t[n]));
    noteDecodeWritten(length);
}

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"

void packCodec10(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return;
    }
    const std::int32_t n = valueCount(length);
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();

    // Values 2k and 2k + 1 fill the triple at byte 3k. The odd value ORs its
    // high nibble into the middle byte that the even one stored whole; with
    // both in hand, each byte is stored once.
    const std::int32_t pairs = n / 2;
    for (std::int32_t k = 0; k < pairs; ++k) {
        const std::uint8_t even = t[2 * k];
        const std::uint8_t odd = t[2 * k + 1];
        std::uint8_t* const triple = d + 3 * k;
        triple[0] = static_cast<std::uint8_t>(lowNibbleUp(even) | lowNibble(t[n + k]));
        triple[1] = static_cast<std::uint8_t>(highNibbleDown(even) | highNibble(odd));
        triple[2] = static_cast<std::uint8_t>(lowNibbleUp(odd) | highNibbleDown(t[n + k + 1]));
    }
    // An odd n leaves one value, the left half of a last triple.
    if (n % 2 != 0) {
        const std::uint8_t last = t[n - 1];
        std::uint8_t* const triple = d + 3 * pairs;
        triple[0] = static_cast<std::uint8_t>(lowNibbleUp(last) | lowNibble(t[n + pairs]));
        triple[1] = highNibbleDown(last);
    }

    // The first nibble byte's high nibble goes to the last triple.
    const std::int32_t f = 12 * (n - 1) / 8 + 1;
    d[f] = static_cast<std::uint8_t>(d[f] | highNibble(t[n]));
}

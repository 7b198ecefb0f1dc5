#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"

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

    // Values 2m and 2m + 1 fill the triple at bytes 3m + 1 .. 3m + 3, both
    // taking a nibble of T[n + m]; the odd value ORs its high nibble into the
    // middle byte that the even one stored whole, so with both in hand each
    // byte is stored once.
    const std::int32_t steps = n - 1; // values 0 .. n - 2
    const std::int32_t pairs = steps / 2;
    for (std::int32_t m = 0; m < pairs; ++m) {
        const std::uint8_t even = t[2 * m];
        const std::uint8_t odd = t[2 * m + 1];
        const std::uint8_t nibbles = t[n + m];
        std::uint8_t* const triple = d + 3 * m + 1;
        triple[0] = static_cast<std::uint8_t>(lowNibbleUp(even) | lowNibble(nibbles));
        triple[1] = static_cast<std::uint8_t>(highNibble(odd) | highNibbleDown(even));
        triple[2] = static_cast<std::uint8_t>(lowNibbleUp(odd) | highNibbleDown(nibbles));
    }
    // An odd number of steps leaves value n - 2 without its partner.
    if (steps % 2 != 0) {
        const std::uint8_t even = t[2 * pairs];
        std::uint8_t* const triple = d + 3 * pairs + 1;
        triple[0] = static_cast<std::uint8_t>(lowNibbleUp(even) | lowNibble(t[n + pairs]));
        triple[1] = highNibbleDown(even);
    }
}

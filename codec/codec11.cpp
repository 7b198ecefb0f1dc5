#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"

void packCodec11(std::int32_t length) {
    if (length < 2 || length > LzOutputLimit) {
        return;
    }
    const std::int32_t n = valueCount(length);
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();

    // Bytes 0 and 1 finish a triple begun in the previous block: the top of
    // its left value (the high nibble of the first nibble byte), then all of
    // its right value, value 0.
    d[0] = static_cast<std::uint8_t>(highNibble(t[0]) | highNibbleDown(t[n]));
    d[1] = static_cast<std::uint8_t>(lowNibbleUp(t[0]) | lowNibble(t[n]));

    // Values 2m + 1 (a left value) and 2m + 2 (a right value) fill bytes
    // 3m + 2 .. 3m + 4: the triple whose middle byte carries the top nibbles
    // of both. Each byte is stored once, with everything the steps that touch
    // it would have put there.
    const std::int32_t pairs = (n - 1) / 2;
    for (std::int32_t m = 0; m < pairs; ++m) {
        const std::uint8_t left = t[2 * m + 1];
        const std::uint8_t right = t[2 * m + 2];
        const std::uint8_t nibbles = t[n + m + 1];
        std::uint8_t* const bytes = d + 3 * m + 2;
        bytes[0] = static_cast<std::uint8_t>(lowNibbleUp(left) | highNibbleDown(nibbles));
        bytes[1] = static_cast<std::uint8_t>(highNibble(right) | highNibbleDown(left));
        bytes[2] = static_cast<std::uint8_t>(lowNibbleUp(right) | lowNibble(nibbles));
    }
    // An even n leaves value n - 1, a left value without its right partner:
    // the middle byte has 0 in its high nibble. When length % 3 == 0 that
    // byte is d[length].
    if (n % 2 == 0) {
        const std::uint8_t left = t[n - 1];
        std::uint8_t* const bytes = d + 3 * pairs + 2;
        bytes[0] = static_cast<std::uint8_t>(lowNibbleUp(left) | highNibbleDown(t[n + pairs + 1]));
        bytes[1] = highNibbleDown(left);
    }
}

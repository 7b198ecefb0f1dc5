#pragma once
// The packing steps of codecs 10, 11 and 12. Each reads T (ScratchBuffer) as
// the prelude left it, with T[length ..] zero, and rewrites DecodeBuffer into
// the block's bytes of the packed 12-bit stereo stream. They differ in where
// the block meets the stream's grid of triples: codec 10 starts a triple at
// byte 0, codec 12 at byte 1 and codec 11 at byte 2.
//
// Each does nothing for a length below 2 or past LzOutputLimit, so no call
// can reach outside the buffers.
#include <cstdint>

// Nibbles are kept in place (0xF0 / 0x0F masks) unless moved on purpose.
constexpr std::uint8_t lowNibble(std::uint8_t x) {
    return static_cast<std::uint8_t>(x & 0x0F);
}
constexpr std::uint8_t highNibble(std::uint8_t x) {
    return static_cast<std::uint8_t>(x & 0xF0);
}
constexpr std::uint8_t lowNibbleUp(std::uint8_t x) {
    return static_cast<std::uint8_t>((x & 0x0F) << 4);
}
constexpr std::uint8_t highNibbleDown(std::uint8_t x) {
    return static_cast<std::uint8_t>(x >> 4);
}

// Writes DecodeBuffer[0 .. length) except byte length - 1 when length % 3 == 1,
// which keeps the prelude's value.
void packCodec10(std::int32_t length);
// Writes all of DecodeBuffer[0 .. length), and also DecodeBuffer[length] when
// length % 3 == 0 (that byte is not part of the block).
void packCodec11(std::int32_t length);
// Writes all of DecodeBuffer[0 .. length) and nothing past it.
void packCodec12(std::int32_t length);

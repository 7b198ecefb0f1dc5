#pragma once
// Block decoders of codecs 10, 11 and 12 and the buffers they work in.
#include <array>
#include <cstdint>
#include <span>

inline constexpr std::int32_t BlockInputSize = 131072;
inline constexpr std::int32_t WorkBufferSize = 180000;

// The stored bytes of the block being decoded, from index 0; the block fetch
// zero-fills it before every read, so every byte past those read is 0.
extern std::array<std::uint8_t, BlockInputSize> BlockInputBuffer;

// ScratchBuffer and DecodeBuffer are the two halves of one region, so the
// byte before DecodeBuffer[0] is the last byte of ScratchBuffer: that is the
// zero history a back-reference sees before the start of the output.
extern std::array<std::uint8_t, 2 * WorkBufferSize> WorkRegion;
inline constexpr std::span<std::uint8_t, WorkBufferSize> ScratchBuffer{WorkRegion.data(),
                                                                       WorkBufferSize};
inline constexpr std::span<std::uint8_t, WorkBufferSize> DecodeBuffer{
    WorkRegion.data() + WorkBufferSize, WorkBufferSize};

// Each decodes the first storedSize bytes of BlockInputBuffer and returns L,
// the block's length; the result is DecodeBuffer[0 .. L).
std::int32_t decodeCodec10(std::int32_t storedSize);
std::int32_t decodeCodec11(std::int32_t storedSize);
std::int32_t decodeCodec12(std::int32_t storedSize);

// Every decode starts from a work region that is all zero. Instead of
// clearing both buffers whole, each decode clears what the one before it
// wrote, which lies within its length. Code that writes into WorkRegion by any
// other means (a stage run on its own, a test's fill) calls this afterwards.
void clearWholeWorkRegionAtNextDecode();

// True when the last decode had to be cut short: the stored stream ran out
// before its end marker, or described more than the buffers hold. What was
// decoded up to that point is still in DecodeBuffer[0 .. L).
bool lastDecodeDamaged();

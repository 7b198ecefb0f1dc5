#pragma once
// The decoders and the block fetch as plainly as they can be written: every
// decode zero-fills both work buffers whole, every fetch the whole input
// buffer, and each stage goes one value at a time in the order the format
// describes. The program's optimised versions must leave the same bytes.
#include <cstdint>
#include <span>

#include "bundle/fetch_block.h"

struct PlainLzState {
    std::int32_t inPos;
    std::int32_t inCount;
    std::uint16_t ctrlWord;
    std::uint16_t ctrlBitsLeft;
    std::int32_t outCount;
    bool damaged;
};
extern PlainLzState PlainLz;

// The whole decode of a codec 10, 11 or 12 block in BlockInputBuffer.
std::int32_t plainDecode(std::int32_t codec, std::int32_t storedSize);

// fetchBlock over the plain decoders: the same progress, table walk, cuts
// and notes, with the result copied to destination unless the bundle ends
// inside the block.
std::int32_t plainFetchBlock(std::span<std::uint8_t, StreamBlockSize> destination,
                             BlockFetchNote& note);

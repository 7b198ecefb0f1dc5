#pragma once
// The LZ stage written for clarity rather than speed, straight from the token
// table, for checking the program's own: the tests, the encoder's round trips
// and the fuzz targets all compare against this one. The output goes to a
// vector, history before its start reads as zero, and a stream without an
// end marker stops at the same two places as the program's.
#include <cstdint>
#include <span>
#include <vector>

struct ReferenceLz {
    std::vector<std::uint8_t> output;
    bool damaged = false; // stopped before an end marker
    // Where the reader was left: next input byte, control word, flags left.
    std::int64_t inPos = 0;
    std::uint32_t ctrlWord = 0;
    std::int32_t ctrlBitsLeft = 16;
};

// input is the whole block input buffer; the first storedCount of its bytes
// (clamped to 0 .. input.size()) are stored bytes, operand reads at or past
// them give -1. The output may not reach outputLimit bytes; a control word
// that would be read past the end of input stops the stage too.
ReferenceLz referenceLzExpand(std::span<const std::uint8_t> input, std::int32_t storedCount,
                              std::int32_t outputLimit);

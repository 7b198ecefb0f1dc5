#pragma once
// A second LZ stage written straight from the token table, for comparing
// with the program's: a vector for the output, history before its start read
// as zero, and the same two places where a stream without an end marker
// must stop.
#include <cstdint>
#include <span>
#include <vector>

struct ReferenceLz {
    std::vector<std::uint8_t> output;
    bool damaged = false;
};

// input is the whole block input buffer; storedCount of its bytes are stored
// bytes (operand reads at or past it give -1), outputLimit is the length the
// output may not reach.
ReferenceLz referenceLzExpand(std::span<const std::uint8_t> input, std::int32_t storedCount,
                              std::int32_t outputLimit);

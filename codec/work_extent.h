#pragma once
// How far the decoding stages have written into ScratchBuffer and
// DecodeBuffer since the last clear. Every byte at or past these ends is
// zero, so clearing below them leaves the whole work region zero.
#include <cstdint>

struct WorkExtent {
    std::int32_t scratchEnd;
    std::int32_t decodeEnd;
};

extern WorkExtent WorkWritten;

// Each stage calls these with the end of what it wrote; the extents only grow
// until the next clear, so stages run on their own (as in tests) stay covered.
void noteScratchWritten(std::int32_t end);
void noteDecodeWritten(std::int32_t end);

// Zero-fills ScratchBuffer[0 .. scratchEnd) and DecodeBuffer[0 .. decodeEnd),
// which leaves the whole work region zero, and resets both extents.
void clearWorkRegion();

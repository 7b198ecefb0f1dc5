#pragma once
// Finds the sample data in a track's stream and plays it as 16-bit stereo.
#include <array>
#include <cstdint>

#include "bundle/fetch_block.h"

// The current block of the packed stream, followed by a tail that stays zero.
inline constexpr std::int32_t StreamTailSize = 4;
extern std::array<std::uint8_t, StreamBlockSize + StreamTailSize> StreamBuffer;

// One batch: left and right samples interleaved, 4096 frames.
inline constexpr std::int32_t SampleBatchSize = 8192;
extern std::array<std::int16_t, SampleBatchSize> SampleBuffer;

// Plays the open track to its end, or until a key is pressed.
void playStream();

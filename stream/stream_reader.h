#pragma once
// Finds the sample data in a track's stream and turns it into 16-bit stereo.
#include <array>
#include <cstdint>

#include "bundle/fetch_block.h"

// The current block of the packed stream, followed by a tail that stays zero.
inline constexpr std::int32_t StreamTailSize = 4;
extern std::array<std::uint8_t, StreamBlockSize + StreamTailSize> StreamBuffer;

// One batch: left and right samples interleaved, 4096 frames.
inline constexpr std::int32_t SampleBatchSize = 8192;
inline constexpr std::uint32_t SampleBatchBytes = SampleBatchSize * sizeof(std::int16_t);
extern std::array<std::int16_t, SampleBatchSize> SampleBuffer;
// Samples in SampleBuffer so far, always even.
extern std::int32_t SampleCount;

enum class StreamStart {
    Ready,     // the stream starts 8 bytes after the "DATA" tag
    NoBlocks,  // the track has no block at all
    NoDataTag, // the first block holds no "DATA" tag
    BundleCut, // the bundle ends inside the first block
};

// The block inside which the bundle ended and with it the stream (its index,
// as the progress text counts), or -1 while the stream is whole.
extern std::int32_t BundleEndBlock;

// What the stream's fetches found since beginStream: the note of the last
// block fetched, and how many blocks needed any note.
extern BlockFetchNote LastStreamNote;
extern std::int32_t NotedBlocks;

// Fetches the first block and finds where the samples begin. Like fillBatch,
// it prints nothing.
StreamStart beginStream();

// Fills SampleBuffer with the next batch, starting from an empty one, and
// returns SampleCount: SampleBatchSize for a full batch, fewer once the track's
// blocks are exhausted or the bundle ends inside one (those are the data's
// last samples).
std::int32_t fillBatch();

// The samples the rest of the stream holds up to block endBlock (not
// included; Blocks.count for the whole track), counted from the current
// position without decoding: every block still to come supplies
// StreamBlockSize bytes, and an incomplete last triple yields nothing. Right
// after beginStream it is the whole track, the final partial batch included.
std::int64_t samplesRemaining(std::int32_t endBlock);

// Plays the open track to its end, or until a key is pressed, showing the
// progress text of each block fetched; a track that cannot be played ends the
// program with its message. When the bundle ends
// inside a later block, the blocks before it play and BundleEndBlock tells
// the driver where.
void playStream();
// The line that tells where the bundle ended (BundleEndBlock).
void printBundleEnd();

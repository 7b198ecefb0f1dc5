#pragma once
// Hands the stream reader the current track's blocks one at a time.
#include <cstdint>
#include <span>

// The stream reader takes every block as this many stream bytes.
inline constexpr std::int32_t StreamBlockSize = 8192;

// Prints the progress text, reads and decodes the next block of the block
// table and copies its result to the start of destination (at most
// StreamBlockSize bytes; the bytes past the result keep what they held).
// Returns 0 when a block was delivered, -1 when no block remains.
std::int32_t fetchBlock(std::span<std::uint8_t, StreamBlockSize> destination);

// Each fetch leaves BlockInputBuffer zero past the bytes it read, clearing
// only what the read before it left there. Code that writes into the buffer
// by other means calls this afterwards, so that the next fetch clears it all.
void blockInputWritten();

// The player shows the progress text; tools that walk a track without a
// console line of their own turn it off.
extern bool BlockProgressShown;

// What the last delivered block needed to fit: a decode that was cut short
// (its stored stream ran out or expanded past the buffers), a stored size or
// result too large for the buffers, cut to what fits, or a read that ended
// before the stored size (the bundle ends inside the block).
struct BlockFetchNote {
    bool decodeDamaged;
    bool storedSizeCut;
    bool resultCut;
    bool readShort;
};
extern BlockFetchNote LastFetchNote;
// Blocks delivered with any note since a tool last set this to 0, so that a
// tool that streams whole batches learns of damage between them.
extern std::int32_t NotedFetchCount;

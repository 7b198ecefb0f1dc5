#pragma once
// Hands the stream reader the current track's blocks one at a time.
#include <cstdint>
#include <span>

// The stream reader takes every block as this many stream bytes.
inline constexpr std::int32_t StreamBlockSize = 8192;

// What fetchBlock returns besides 0 for a delivered block.
inline constexpr std::int32_t NoBlockLeft = -1;
// The bundle ends inside the block: fewer bytes could be read than it holds.
// Nothing is delivered, since the missing bytes would play as noise.
inline constexpr std::int32_t BundleEndsInBlock = -2;

// Prints the progress text, reads and decodes the next block of the block
// table and copies its result to the start of destination (at most
// StreamBlockSize bytes; the bytes past the result keep what they held).
// Returns 0 when a block was delivered, NoBlockLeft when no block remains
// and BundleEndsInBlock for a block cut short; LastFetchNote then still
// tells what its decode made of the bytes that were there.
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

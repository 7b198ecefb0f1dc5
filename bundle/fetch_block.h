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

// What a fetch made of the block besides its bytes: a decode that was cut
// short (its stored stream ran out or expanded past the buffers), a stored
// size or result too large for the buffers, cut to what fits, or a read that
// ended before the stored size (the bundle ends inside the block).
struct BlockFetchNote {
    bool decodeDamaged;
    bool storedSizeCut;
    bool resultCut;
    bool readShort;
};

struct BlockFetch {
    // 0 when the block was delivered, NoBlockLeft or BundleEndsInBlock.
    std::int32_t status;
    BlockFetchNote note;
};

// Reads and decodes the next block of the block table and copies its result
// to the start of destination (at most StreamBlockSize bytes; the bytes past
// the result keep what they held). Prints nothing. A block cut short delivers
// nothing, but its note still tells what its decode made of the bytes that
// were there.
BlockFetch fetchNextBlock(std::span<std::uint8_t, StreamBlockSize> destination);
// True when the fetch needed anything of its note.
bool fetchNoted(const BlockFetchNote& note);

// The progress text of fetching block index ("i/count", overwriting the last).
void showBlockProgress(std::int32_t index);
// The player's fetch: the progress text, then fetchNextBlock. Returns its
// status.
std::int32_t fetchBlock(std::span<std::uint8_t, StreamBlockSize> destination);

// Each fetch leaves BlockInputBuffer zero past the bytes it read, clearing
// only what the read before it left there. Code that writes into the buffer
// by other means calls this afterwards, so that the next fetch clears it all.
void blockInputWritten();

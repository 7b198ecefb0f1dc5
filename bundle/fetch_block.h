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

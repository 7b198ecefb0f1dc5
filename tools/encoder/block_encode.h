#pragma once
// Turns one 8192-byte block of the packed stream into the stored bytes of a
// codec 10, 11 or 12 block: the inverse of the codec's packing step, of the
// interleave of the two halves and of the two running sums, then LZ.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::int32_t BlockBytes = 8192;
// 12-bit values carried by one block, (8 * 8192) / 12, and half of it.
inline constexpr std::int32_t BlockValues = 5461;
inline constexpr std::int32_t BlockHalf = 2730;

using StreamBlock = std::array<std::uint8_t, BlockBytes>;

// The codec whose triple grid starts at byte `phase` (0, 1 or 2) of a block:
// codec 10 at byte 0, codec 12 at byte 1, codec 11 at byte 2.
std::int32_t codecForPhase(std::int32_t phase);

// Inverse of the codec's packing step: the table T from which the decoder's
// packing step rebuilds exactly these stream bytes.
StreamBlock unpackBlock(std::int32_t codec, const StreamBlock& stream);
// Inverse of the interleave: T holds the two halves of D alternating.
StreamBlock deinterleaveHalves(const StreamBlock& interleaved);
// Inverse of the two running sums: the second differences of D.
StreamBlock differenceBytes(const StreamBlock& summed);

// The stored bytes of one block (codec 10, 11 or 12) that decode to stream.
std::vector<std::uint8_t> encodeBlock(std::int32_t codec, const StreamBlock& stream);

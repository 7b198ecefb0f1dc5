#pragma once
// An independent decoder and stream reader for checking the encoder: the
// plain LZ stage, the running sums and interleave, the three packing steps,
// and the player's way of reading triples from the decoded blocks.
#include <cstdint>
#include <span>
#include <vector>

#include "tools/encoder/block_encode.h"

// The plain LZ stage's output for stored bytes as the block fetch hands them
// over.
std::vector<std::uint8_t> referenceLzBlock(std::span<const std::uint8_t> stored);
// The packing step of codec 10, 11 or 12 on a table T of L bytes.
std::vector<std::uint8_t> referencePack(std::int32_t codec, std::span<const std::uint8_t> table);
// A whole block: LZ, sums, interleave, packing; codec 0 is the bytes as is.
std::vector<std::uint8_t> referenceDecode(std::int32_t codec, std::span<const std::uint8_t> stored);

// The program's own decoders (codec 0: the bytes as is), on the stored bytes
// as the block fetch hands them over; damaged tells whether the decoder had
// to cut the block short.
std::vector<std::uint8_t> programDecode(std::uint32_t codec, std::span<const std::uint8_t> stored,
                                        bool& damaged);

// The samples the player submits for a run of decoded 8192-byte blocks:
// search "DATA" in the first block, start 8 bytes after it, read triples
// across block boundaries, keep only whole batches of 8192 samples.
std::vector<std::int16_t> playedSamples(const std::vector<StreamBlock>& blocks);

#pragma once
// The samples a track should play, worked out the plain way from the bytes
// each block delivers, for comparing with what the player submits.
#include <cstdint>
#include <vector>

#include "tests/support/test_bundle.h"

using Samples = std::vector<std::int16_t>;

// The blocks as the reader's 8192-byte window sees them (a short block leaves
// the previous block's bytes behind it), laid end to end and read as triples
// from 8 bytes after the tag; the last incomplete triple is dropped.
Samples streamSamples(const std::vector<Bytes>& delivered, std::size_t tag);

// The whole batches of 8192 samples that playback submits.
std::vector<Samples> wholeBatches(const Samples& samples);

// Samples from raw little-endian 16-bit bytes, as a capture file holds them.
Samples samplesFromBytes(const Bytes& bytes);

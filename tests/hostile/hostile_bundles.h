#pragma once
// Damaged and deliberately hostile bundles, built by code: every image holds
// one track at 0x20 (catalogue row 0), with the outcome the player must reach.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/bundle_walk.h"
#include "tests/support/test_bundle.h"

inline constexpr std::uint32_t HostileTrackOffset = 0x20;

struct HostileCase {
    std::string name;
    Bytes image;
    // The outcomes that are right for it; most cases have exactly one.
    std::vector<WalkOutcome> allowed;
    // Slow to walk in-process with its extra decodes; the player runs it,
    // and smaller cases cover the same paths in the walk.
    bool heavy = false;
};

// Block counts, stored sizes, offsets, streams without an end marker or
// expanding past the buffers, results of 0, 1 and 2 bytes, split tags.
std::vector<HostileCase> hostileCases();

// A small valid track of five blocks (raw, codec 10, 11, 12, raw) and the
// outcome of the same image cut to its first `length` bytes.
Bytes smallValidBundle();
WalkOutcome outcomeOfSmallBundleCut(std::size_t length);

// A track from the encoder: a short synthesised piece, four blocks of codecs
// 10, 12, 11 and 10, with the file offset where its first block begins.
struct EncodedBundle {
    Bytes image;
    std::size_t firstBlockOffset;
    std::size_t secondBlockOffset;
};
EncodedBundle encodedBundle();

// The outcomes a cut of the encoded bundle may have: a cut inside any block
// ends the stream there.
std::vector<WalkOutcome> outcomesOfEncodedCut(const EncodedBundle& bundle, std::size_t length);

// Stored streams that every decoder must survive, for the seed corpora:
// results of 0, 1 and 2 bytes, one without an end marker and one that
// expands past the buffers.
std::vector<std::pair<std::string, Bytes>> hostileStreams();

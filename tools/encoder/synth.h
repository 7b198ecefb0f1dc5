#pragma once
// Deterministic synthesised pieces for the demo bundle and for tests.
#include <cstdint>
#include <vector>

#include "tools/encoder/track_encode.h"

// A short piece of music: melody, bass, chords and a kick drum from simple
// oscillators and envelopes. The seed picks the scale, key, tempo, timbre
// and tunes; the same arguments always give the same frames. A centred piece
// has the same samples on both channels, which stores in about a fifth less
// space.
std::vector<StereoValue> synthesisePiece(std::uint32_t seed, double seconds, bool centred);

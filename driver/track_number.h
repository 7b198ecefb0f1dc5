#pragma once
#include <cstdint>

// Reads a track number by its leading digits: optional white space, an
// optional sign, then decimal digits up to the first other character; no
// digits gives 0. Values beyond 32 bits saturate instead of overflowing, so
// they land outside every valid range.
std::int64_t readTrackNumber(const char* text);

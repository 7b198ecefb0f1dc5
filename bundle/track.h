#pragma once
// A track's header and block table in the bundle file.
#include <array>
#include <cstdint>
#include <cstdio>

inline constexpr std::int32_t MaxBlocks = 4096;
// Room for the entry that trips the limit, stored before the check.
inline constexpr std::int32_t BlockTableSlots = MaxBlocks + 4;

inline constexpr std::int32_t CodecRaw = 0;
inline constexpr std::int32_t Codec10 = 10;
inline constexpr std::int32_t Codec11 = 11;
inline constexpr std::int32_t Codec12 = 12;

struct BlockTable {
    // Stream offset plus block offset, kept wide so that no sum can overflow.
    std::array<std::int64_t, BlockTableSlots> absoluteOffset;
    std::array<std::int32_t, BlockTableSlots> storedSize;
    std::array<std::int32_t, BlockTableSlots> codec;
    std::int32_t count;
    std::int32_t nextIndex;
};

extern BlockTable Blocks;
// Open from openTrack to the end of the run.
extern std::FILE* BundleFile;
extern std::uint32_t TrackStreamOffset;

// Opens the bundle, checks the track header at streamOffset and loads the
// block table. Returns only on success; every failure prints its message and
// ends the program with status 1.
void openTrack(const char* bundlePath, std::uint32_t streamOffset);

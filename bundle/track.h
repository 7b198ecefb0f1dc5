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

enum class TrackLoad {
    Loaded,
    WrongMagic,    // the four bytes at the offset are not "COMP"
    HeaderCut,     // the bundle ends inside the track header
    TableCut,      // the bundle ends inside the block table
    TooManyBlocks, // more than MaxBlocks entries would be accepted
};

// Reads the track header at streamOffset of an open bundle and loads the
// block table, making bundle the file that the block fetch reads. Entries of
// an unknown codec are reported ("Out of type range") and dropped as they
// are read; every other failure is left to the caller to report.
TrackLoad loadTrack(std::FILE* bundle, std::uint32_t streamOffset);
// The four bytes read where the magic should be, as a little-endian number.
extern std::uint32_t LastMagicRead;
// Entries of an unknown codec that the last loadTrack dropped.
extern std::int32_t DroppedEntries;
// The player reports each dropped entry; tools that report them in their own
// words turn the message off.
extern bool DroppedEntryShown;

// Opens the bundle, checks the track header at streamOffset and loads the
// block table. Returns only on success; every failure prints its message and
// ends the program with status 1.
void openTrack(const char* bundlePath, std::uint32_t streamOffset);

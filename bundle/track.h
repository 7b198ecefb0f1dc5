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

// What loading a track found: how it ended, the four bytes read where the
// magic should be (as a little-endian number) and the entries of an unknown
// codec dropped so far.
struct TrackOpening {
    TrackLoad outcome;
    std::uint32_t magic;
    std::int32_t droppedEntries;
    std::int32_t droppedCodec; // the codec of the entry dropped last
    std::uint32_t entriesLeft; // table entries not read yet
};

// Reads the track header at streamOffset of an open bundle, making bundle the
// file that the block fetch reads, and empties the block table. Prints
// nothing; the table is loaded by loadTableEntries.
TrackOpening readTrackHeader(std::FILE* bundle, std::uint32_t streamOffset);
// Loads the block table's entries until the table ends or fails (false), or
// until an entry of an unknown codec is dropped (true: opening.droppedCodec
// tells which, and loading goes on with the next call).
bool loadTableEntries(TrackOpening& opening);
// Both of the above: the whole table, dropping unknown entries silently.
TrackOpening loadTrack(std::FILE* bundle, std::uint32_t streamOffset);

// Opens the bundle, checks the track header at streamOffset and loads the
// block table. Returns only on success; every failure prints its message and
// ends the program with status 1.
void openTrack(const char* bundlePath, std::uint32_t streamOffset);

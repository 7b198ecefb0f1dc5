#pragma once
// Opening a bundle's tracks row by row and checking them block by block,
// through the player's own track loading, block fetch and stream reader.
#include <cstdint>
#include <string>
#include <vector>

// What stands at a catalogue row once its track is loaded and its stream
// begun; Ready is the only state in which the track can be streamed.
enum class RowState {
    Ready,
    NoTrack,       // the bundle ends before the row, or holds only zeros there
    WrongMagic,    // the header does not begin with "COMP"
    HeaderCut,     // the bundle ends inside the track header
    TableCut,      // the bundle ends inside the block table
    TooManyBlocks, // more than 4096 blocks
    NoBlocks,      // the table is empty
    NoDataTag,     // the first block holds no "DATA" tag
    FirstBlockCut, // the bundle ends inside the first block
};

struct RowOpening {
    RowState state = RowState::NoTrack;
    std::uint32_t magic = 0;          // the four bytes read as the magic, little-endian
    std::int32_t blockCount = 0;      // blocks accepted into the table
    std::int32_t droppedEntries = 0;  // table entries of an unknown codec
    std::vector<std::int32_t> codecs; // the codecs of the accepted blocks, ascending
    // Ready: the stream's samples, both channels, up to the block where the
    // bundle ends, as the player plays them.
    std::int64_t samples = 0;
};

// Opens the bundle for the rows that follow; false with a message when it
// cannot be read.
bool openBundle(const std::string& path, std::string& error);
void closeBundle();

// Loads the track at a catalogue row and begins its stream, decoding only
// the first block. When Ready, fillBatch delivers the track's samples.
RowOpening openRow(std::int32_t row);

// A whole track decoded block by block: which blocks came out damaged.
struct RowCheck {
    RowOpening opening;
    std::vector<std::int32_t> decodeDamaged; // stored stream ran out or expanded too far
    std::vector<std::int32_t> storedSizeCut; // stored size beyond the input buffer
    std::vector<std::int32_t> resultCut;     // result beyond the stream block
    std::vector<std::int32_t> readShort;     // the bundle ends inside the block
};
RowCheck checkRow(std::int32_t row);

// One line per thing wrong with the row; none for an intact track.
std::vector<std::string> rowProblems(const RowCheck& check);
// The problem that keeps a track from opening, for rows that are not Ready.
std::string openingProblem(const RowOpening& opening);

// "3, 7-9, 12": block numbers in ascending order with runs joined.
std::string blockRanges(const std::vector<std::int32_t>& blocks);

// Catalogue row of visible track number (0 <= number < visibleCount()).
std::int32_t rowOfNumber(std::int32_t number);

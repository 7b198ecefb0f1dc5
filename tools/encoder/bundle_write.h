#pragma once
// Writing tracks into a bundle at the catalogue's offsets, and reading a
// track's table and stored blocks back.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct TrackUpdate {
    std::int32_t row;                    // catalogue row, 0 .. 83
    std::span<const std::uint8_t> bytes; // header, block table and blocks
};

enum class BundleMode : std::uint8_t {
    Update, // keep everything of an existing bundle outside the rows written
    Fresh,  // start from an empty file
};

// What an update does while another program updates the same bundle.
enum class BundleWait : std::uint8_t {
    Wait,   // until it has finished, then update what it wrote
    NoWait, // fail at once
};

// Bytes a track at this row may take: up to the next row's offset. The last
// row has no next row; INT64_MAX.
std::int64_t rowCapacity(std::int32_t row);

// Writes every track at its row's offset into a temporary file next to path
// and renames it over path, so an interrupted run leaves the old bundle as
// it was. A symbolic link is followed: the file it names is replaced. The
// bundle stays locked from reading to replacing, so that updates of it at
// the same time follow each other instead of undoing each other. Each row's whole slot (its offset
// to the next row's) is replaced; holes stay sparse. Refuses, without touching anything, a row out
// of range, a row given twice, or a track that would run into the next row.
bool writeBundle(const std::string& path, std::span<const TrackUpdate> updates, BundleMode mode,
                 std::string& error, BundleWait wait = BundleWait::Wait);

struct StoredBlock {
    std::uint32_t offset; // from the track header
    std::uint32_t storedSize;
    std::uint32_t codec;
    std::vector<std::uint8_t> bytes;
};

// Reads the track at a row: its "COMP" header, block table and stored bytes.
bool readTrack(const std::string& path, std::int32_t row, std::vector<StoredBlock>& blocks,
               std::string& error);

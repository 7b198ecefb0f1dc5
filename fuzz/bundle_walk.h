#pragma once
// Walks a whole bundle image the way the player does, without audio: loads
// the track, fetches every block, then reads the stream batch by batch as
// playback would, checking on the way everything that no damaged or hostile
// bundle may break. Shared by the bundle fuzz target and the hostile-bundle
// tests.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum class WalkOutcome : std::uint8_t {
    Plays,         // the stream starts and runs to the end of the blocks
    BundleEnds,    // the bundle ends inside a block the stream reaches
    WrongMagic,    // no "COMP" at the track's offset
    HeaderCut,     // the bundle ends inside the track header
    TableCut,      // the bundle ends inside the block table
    TooManyBlocks, // more than 4096 blocks
    NoBlocks,      // a track without blocks
    NoDataTag,     // the first block holds no "DATA" tag
};

const char* outcomeName(WalkOutcome outcome);

struct WalkReport {
    WalkOutcome outcome = WalkOutcome::Plays;
    std::int32_t blocks = 0;         // blocks in the loaded table
    std::int32_t damagedBlocks = 0;  // decodes that had to stop before an end marker
    std::int32_t cutBlocks = 0;      // stored size or result cut to fit the buffers
    std::int64_t batches = 0;        // whole batches the player would submit
    std::vector<std::string> faults; // every broken expectation, empty when all held
};

// The image is the whole bundle file; the track's header is at streamOffset.
WalkReport walkBundle(std::span<const std::uint8_t> image, std::uint32_t streamOffset);

// What every decode must leave behind, whatever its input: a length inside
// the LZ stage's limit and nothing written past the block. Appends a fault
// for each broken rule.
void checkDecodeResult(std::int32_t codec, std::int32_t length, std::vector<std::string>& faults);

// Decodes BlockInputBuffer[0 .. storedSize) with the codec's decoder.
std::int32_t runBlockDecoder(std::int32_t codec, std::int32_t storedSize);

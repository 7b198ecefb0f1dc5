#include "tools/zelvor-export/track_survey.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "bundle/fetch_block.h"
#include "bundle/track.h"
#include "codec/decoders.h"
#include "driver/catalogue.h"
#include "stream/stream_reader.h"
#include "tools/common/tool_io.h"

namespace {

std::FILE* Bundle = nullptr;
std::int64_t BundleSize = 0;

} // namespace

bool openBundle(const std::string& path, std::string& error) {
    closeBundle();
    // A FIFO or a device would block the open or the reads for ever.
    bool notRegular = false;
    const int fd = openRegularFile(path, notRegular);
    if (notRegular) {
        error = path + " is not a file";
        return false;
    }
    Bundle = fd < 0 ? nullptr : fdopen(fd, "rb");
    struct stat status {};
    if (Bundle == nullptr || fstat(fileno(Bundle), &status) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        if (Bundle == nullptr && fd >= 0) {
            close(fd);
        }
        closeBundle();
        return false;
    }
    // What an interrupted zelvor-pack left beside the bundle.
    removeStaleTemporariesOf(path);
    BundleSize = status.st_size;
    return true;
}

void closeBundle() {
    if (Bundle != nullptr) {
        std::fclose(Bundle);
    }
    Bundle = nullptr;
    BundleFile = nullptr;
    BundleSize = 0;
}

namespace {

// The first block whose read will come up short, where the stream ends;
// Blocks.count when every block is whole.
std::int32_t firstCutBlock() {
    for (std::int32_t i = 0; i < Blocks.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const std::int64_t wanted =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(Blocks.storedSize[slot]),
                                    static_cast<std::uint32_t>(BlockInputSize));
        if (Blocks.absoluteOffset[slot] + wanted > BundleSize) {
            return i;
        }
    }
    return Blocks.count;
}

} // namespace

std::int32_t rowOfNumber(std::int32_t number) {
    return static_cast<std::int32_t>(&rowForNumber(number) - TrackCatalogue.data());
}

RowOpening openRow(std::int32_t row) {
    const std::uint32_t offset = TrackCatalogue[static_cast<std::size_t>(row)].streamOffset;
    RowOpening opening;
    if (offset >= BundleSize) {
        return opening; // NoTrack
    }
    const TrackOpening load = loadTrack(Bundle, offset);
    opening.magic = load.magic;
    opening.blockCount = Blocks.count;
    opening.droppedEntries = load.droppedEntries;
    switch (load.outcome) {
    case TrackLoad::Loaded:
        break;
    case TrackLoad::WrongMagic:
        opening.state = load.magic == 0 ? RowState::NoTrack : RowState::WrongMagic;
        return opening;
    case TrackLoad::HeaderCut:
        opening.state = RowState::HeaderCut;
        return opening;
    case TrackLoad::TableCut:
        opening.state = RowState::TableCut;
        return opening;
    case TrackLoad::TooManyBlocks:
        opening.state = RowState::TooManyBlocks;
        return opening;
    }
    for (std::int32_t i = 0; i < Blocks.count; ++i) {
        opening.codecs.push_back(Blocks.codec[static_cast<std::size_t>(i)]);
    }
    std::sort(opening.codecs.begin(), opening.codecs.end());
    opening.codecs.erase(std::unique(opening.codecs.begin(), opening.codecs.end()),
                         opening.codecs.end());

    switch (beginStream()) {
    case StreamStart::NoBlocks:
        opening.state = RowState::NoBlocks;
        return opening;
    case StreamStart::NoDataTag:
        opening.state = RowState::NoDataTag;
        return opening;
    case StreamStart::BundleCut:
        opening.state = RowState::FirstBlockCut;
        return opening;
    case StreamStart::Ready:
        break;
    }
    opening.state = RowState::Ready;
    opening.samples = samplesRemaining(firstCutBlock());
    return opening;
}

namespace {

void noteBlock(RowCheck& check, std::int32_t block, const BlockFetchNote& note) {
    if (note.decodeDamaged) {
        check.decodeDamaged.push_back(block);
    }
    if (note.storedSizeCut) {
        check.storedSizeCut.push_back(block);
    }
    if (note.resultCut) {
        check.resultCut.push_back(block);
    }
    if (note.readShort) {
        check.readShort.push_back(block);
    }
}

} // namespace

RowCheck checkRow(std::int32_t row) {
    RowCheck check;
    check.opening = openRow(row);
    const RowState state = check.opening.state;
    if (state != RowState::Ready && state != RowState::NoDataTag &&
        state != RowState::FirstBlockCut) {
        return check;
    }
    // beginStream has fetched block 0; the rest need only be fetched, since
    // reading the stream itself cannot fail. Blocks after one cut short are
    // checked too: the table may place them earlier in the file.
    noteBlock(check, 0, LastStreamNote);
    std::array<std::uint8_t, StreamBlockSize> block{};
    for (std::int32_t index = Blocks.nextIndex;; ++index) {
        const BlockFetch fetch = fetchNextBlock(block);
        if (fetch.status == NoBlockLeft) {
            break;
        }
        noteBlock(check, index, fetch.note);
    }
    return check;
}

std::string blockRanges(const std::vector<std::int32_t>& blocks) {
    std::string text;
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t last = i;
        while (last + 1 < blocks.size() && blocks[last + 1] == blocks[last] + 1) {
            ++last;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(blocks[i]);
        if (last > i) {
            text += "-" + std::to_string(blocks[last]);
        }
        i = last + 1;
    }
    return text;
}

std::string openingProblem(const RowOpening& opening) {
    switch (opening.state) {
    case RowState::Ready:
        return "";
    case RowState::NoTrack:
        return "no track: the bundle ends, or holds zeros, where its header should begin";
    case RowState::WrongMagic: {
        char text[96];
        std::snprintf(text, sizeof text,
                      "wrong header: the bytes %02x %02x %02x %02x instead of \"COMP\"",
                      opening.magic & 0xFFu, (opening.magic >> 8) & 0xFFu,
                      (opening.magic >> 16) & 0xFFu, opening.magic >> 24);
        return text;
    }
    case RowState::HeaderCut:
        return "track header cut short: the bundle ends inside it";
    case RowState::TableCut:
        return "block table cut short: the bundle ends inside it";
    case RowState::TooManyBlocks:
        return "too many blocks: more than " + std::to_string(MaxBlocks);
    case RowState::NoBlocks:
        return "no blocks";
    case RowState::NoDataTag:
        return "missing \"DATA\": the first block holds no \"DATA\" tag";
    case RowState::FirstBlockCut:
        return "cut short: the bundle ends inside the first block";
    }
    return "";
}

std::vector<std::string> rowProblems(const RowCheck& check) {
    std::vector<std::string> problems;
    const RowOpening& opening = check.opening;
    if (opening.droppedEntries > 0) {
        problems.push_back(std::to_string(opening.droppedEntries) +
                           (opening.droppedEntries == 1 ? " table entry" : " table entries") +
                           " of an unknown codec dropped");
    }
    // A first block cut short is listed with the other cut blocks below.
    if (opening.state != RowState::Ready && opening.state != RowState::FirstBlockCut) {
        problems.push_back(openingProblem(opening));
    }
    const struct {
        const std::vector<std::int32_t>& blocks;
        const char* what;
    } noted[] = {
        {check.decodeDamaged, "damaged: the stored stream runs out or expands past the buffers"},
        {check.readShort, "cut short: the bundle ends inside the block"},
        {check.storedSizeCut, "stored size cut: larger than the block input buffer"},
        {check.resultCut, "result cut: decodes to more than 8192 bytes"},
    };
    for (const auto& note : noted) {
        if (!note.blocks.empty()) {
            problems.push_back((note.blocks.size() == 1 ? "block " : "blocks ") +
                               blockRanges(note.blocks) + " " + note.what);
        }
    }
    return problems;
}

#include "fuzz/bundle_walk.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "audio/wave_ring.h"
#include "bundle/fetch_block.h"
#include "bundle/track.h"
#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "fuzz/null_output.h"
#include "stream/stream_reader.h"

namespace {

// Filler the walk puts where nothing may write, so that a stray write shows.
constexpr std::uint8_t Untouched = 0x5A;
constexpr std::size_t GuardBytes = 64;

void fault(WalkReport& report, const std::string& what) {
    report.faults.push_back(what);
}

void fault(WalkReport& report, const char* what, std::int64_t block) {
    report.faults.push_back(std::string(what) + " (block " + std::to_string(block) + ")");
}

bool allEqual(std::span<const std::uint8_t> bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

bool tailIsZero() {
    return allEqual(std::span(StreamBuffer).subspan(StreamBlockSize), 0);
}

// The image as a real file, so that seeks and reads past its end behave as
// they do on disk: memfd_create gives an anonymous one without touching the
// file system.
std::FILE* openImage(std::span<const std::uint8_t> image) {
    const int fd = memfd_create("bundle", MFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    std::size_t written = 0;
    while (written < image.size()) {
        const ssize_t n = write(fd, image.data() + written, image.size() - written);
        if (n <= 0) {
            close(fd);
            return nullptr;
        }
        written += static_cast<std::size_t>(n);
    }
    std::FILE* const file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

WalkOutcome outcomeOfLoad(TrackLoad load) {
    switch (load) {
    case TrackLoad::Loaded:
        break;
    case TrackLoad::WrongMagic:
        return WalkOutcome::WrongMagic;
    case TrackLoad::HeaderCut:
        return WalkOutcome::HeaderCut;
    case TrackLoad::TableCut:
        return WalkOutcome::TableCut;
    case TrackLoad::TooManyBlocks:
        return WalkOutcome::TooManyBlocks;
    }
    return WalkOutcome::Plays;
}

void checkTable(WalkReport& report) {
    if (Blocks.count < 0 || Blocks.count > MaxBlocks || Blocks.nextIndex != 0) {
        fault(report, "block table count or next index out of range");
        return;
    }
    for (std::int32_t i = 0; i < Blocks.count; ++i) {
        const std::int32_t codec = Blocks.codec[static_cast<std::size_t>(i)];
        if (codec != CodecRaw && codec != Codec10 && codec != Codec11 && codec != Codec12) {
            fault(report, "unknown codec kept in the table", i);
        }
    }
}

// Where the tag is in a delivered first block, as the reader must find it:
// the first "DATA" that lies wholly in the block; -1 without one.
std::int32_t findTag(std::span<const std::uint8_t, StreamBlockSize> block) {
    static constexpr std::array<std::uint8_t, 4> Tag{'D', 'A', 'T', 'A'};
    const auto at = std::search(block.begin(), block.end(), Tag.begin(), Tag.end());
    return at == block.end() ? -1 : static_cast<std::int32_t>(at - block.begin());
}

// Fetches every block into a guarded buffer and checks each delivery against
// what the image holds at the block's offset. Returns the tag position of the
// first block (-1 without a tag or a block); cutBlock becomes the first block
// that the bundle ends inside (Blocks.count when there is none).
std::int32_t fetchEveryBlock(std::span<const std::uint8_t> image, WalkReport& report,
                             std::int32_t& cutBlock) {
    std::array<std::uint8_t, StreamBlockSize + GuardBytes> destination{};
    const std::span<std::uint8_t, StreamBlockSize> block(destination.data(), StreamBlockSize);
    // The previous delivery stays in place past a short result.
    std::array<std::uint8_t, StreamBlockSize> previous{};
    std::int32_t tag = -1;
    cutBlock = Blocks.count;

    for (std::int32_t i = 0; i < Blocks.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        destination.fill(Untouched);
        std::copy(previous.begin(), previous.end(), destination.begin());
        const BlockFetch fetch = fetchNextBlock(block);
        const std::int32_t fetched = fetch.status;

        // The bytes the read must have brought in: the stored size, cut to
        // the input buffer, as far as the image reaches.
        const auto storedSize = static_cast<std::uint32_t>(Blocks.storedSize[slot]);
        const std::int64_t offset = Blocks.absoluteOffset[slot];
        const std::int64_t wanted = std::min<std::int64_t>(storedSize, BlockInputSize);
        const std::int64_t available = offset < static_cast<std::int64_t>(image.size())
                                           ? static_cast<std::int64_t>(image.size()) - offset
                                           : 0;
        const auto bytesRead = static_cast<std::int32_t>(std::min(wanted, available));
        const bool cut = bytesRead < wanted;
        if (fetched != (cut ? BundleEndsInBlock : 0)) {
            fault(report,
                  cut ? "a block cut short was not reported" : "a whole block not delivered", i);
            return tag;
        }
        if (fetch.note.readShort != cut) {
            fault(report, "read short noted wrongly", i);
        }
        if (cut && cutBlock == Blocks.count) {
            cutBlock = i;
        }
        const std::span<const std::uint8_t> input(BlockInputBuffer.data(),
                                                  static_cast<std::size_t>(bytesRead));
        if (bytesRead > 0 && !std::equal(input.begin(), input.end(),
                                         image.begin() + static_cast<std::ptrdiff_t>(offset))) {
            fault(report, "block input differs from the image at the block's offset", i);
        }
        if (!allEqual(std::span(BlockInputBuffer).subspan(static_cast<std::size_t>(bytesRead)),
                      0)) {
            fault(report, "block input not zero past the bytes read", i);
        }
        if (fetch.note.storedSizeCut != (storedSize > BlockInputSize)) {
            fault(report, "stored size cut noted wrongly", i);
        }

        // The result the block must have delivered: the bytes as read, or
        // the decoder's output, decoded once more from scratch buffers
        // filled with something else, which must not change it.
        const std::int32_t codec = Blocks.codec[slot];
        std::int32_t length = bytesRead;
        const std::uint8_t* result = BlockInputBuffer.data();
        const bool decodedDamaged = fetch.note.decodeDamaged;
        if (codec != CodecRaw) {
            WorkRegion.fill(0xA5);
            clearWholeWorkRegionAtNextDecode(); // the next decode must clear what was written here
            length = runBlockDecoder(codec, bytesRead);
            checkDecodeResult(codec, length, report.faults);
            result = DecodeBuffer.data();
            if (decodedDamaged != lastDecodeDamaged()) {
                fault(report, "damaged decode noted wrongly", i);
            }
        } else if (decodedDamaged) {
            fault(report, "raw block noted as a damaged decode", i);
        }
        if (fetch.note.resultCut != (length > StreamBlockSize)) {
            fault(report, "result cut noted wrongly", i);
        }
        // A block cut short delivers nothing: its missing bytes would be noise.
        const auto delivered =
            cut ? std::size_t{0} : static_cast<std::size_t>(std::clamp(length, 0, StreamBlockSize));
        if (!std::equal(result, result + delivered, destination.begin())) {
            fault(report, "delivered bytes differ from the block's result", i);
        }
        if (!std::equal(previous.begin() + static_cast<std::ptrdiff_t>(delivered), previous.end(),
                        destination.begin() + static_cast<std::ptrdiff_t>(delivered))) {
            fault(report, "bytes past a short result were changed", i);
        }
        if (!allEqual(std::span(destination).subspan(StreamBlockSize), Untouched)) {
            fault(report, "fetch wrote past the end of the stream block", i);
        }

        report.damagedBlocks += decodedDamaged ? 1 : 0;
        report.cutBlocks += fetch.note.storedSizeCut || fetch.note.resultCut ? 1 : 0;
        if (i == 0 && !cut) {
            tag = findTag(block);
        }
        std::copy_n(destination.begin(), StreamBlockSize, previous.begin());
    }
    if (fetchNextBlock(block).status != -1 || fetchNextBlock(block).status != -1) {
        fault(report, "fetch past the last block did not report the end");
    }
    if (Blocks.nextIndex != Blocks.count + 1) {
        fault(report, "next index does not stop one past the end");
    }
    return tag;
}

// Reads the stream as playback does and checks that it ends after exactly
// the batches the blocks before the cut carry.
void streamEveryBatch(std::int32_t tag, std::int32_t cutBlock, WalkReport& report) {
    NullOutput = {};
    const StreamStart start = beginStream();
    if (!tailIsZero()) {
        fault(report, "stream buffer tail written by the first block");
    }
    if (start == StreamStart::BundleCut) {
        report.outcome = WalkOutcome::BundleEnds;
        if (cutBlock != 0 || BundleEndBlock != 0) {
            fault(report, "first block reported cut short wrongly");
        }
        return;
    }
    if (cutBlock == 0 && Blocks.count > 0) {
        fault(report, "first block cut short was not reported");
        return;
    }
    if (start == StreamStart::NoBlocks) {
        report.outcome = WalkOutcome::NoBlocks;
        if (Blocks.count != 0) {
            fault(report, "no blocks found in a table that has some");
        }
        return;
    }
    if (start == StreamStart::NoDataTag) {
        report.outcome = WalkOutcome::NoDataTag;
        if (tag >= 0) {
            fault(report, "tag in the first block was not found");
        }
        return;
    }
    if (tag < 0) {
        fault(report, "stream started without a tag in the first block");
        return;
    }

    // A start past the first block begins at byte 0 of the second.
    const std::int64_t firstBytes = StreamBlockSize - std::min(tag + 8, StreamBlockSize);
    const std::int64_t streamBytes = firstBytes + std::int64_t{StreamBlockSize} * (cutBlock - 1);
    const std::int64_t expectedBatches = streamBytes / 3 * 2 / SampleBatchSize;
    const std::int64_t expectedLast = streamBytes / 3 * 2 % SampleBatchSize;

    std::int32_t filled = 0;
    while ((filled = fillBatch()) == SampleBatchSize) {
        waveRingSubmit(SampleBuffer.data(), SampleBatchBytes);
        ++report.batches;
        if (!tailIsZero()) {
            fault(report, "stream buffer tail written by a block");
            return;
        }
        if (report.batches > expectedBatches) {
            fault(report, "stream does not end after the track's blocks");
            return;
        }
    }
    if (report.batches != expectedBatches || filled != expectedLast) {
        fault(report, "stream ended after another number of samples than its blocks carry");
    }
    if (fillBatch() != 0) {
        fault(report, "stream goes on after its end");
    }
    if (cutBlock < Blocks.count) {
        report.outcome = WalkOutcome::BundleEnds;
        if (BundleEndBlock != cutBlock || Blocks.nextIndex != cutBlock + 1) {
            fault(report, "stream did not end at the block the bundle ends inside");
        }
    } else if (Blocks.nextIndex != Blocks.count + 1 || BundleEndBlock != -1) {
        fault(report, "stream ended before the last block");
    }
    if (NullOutput.submissions != report.batches || NullOutput.opens != 0) {
        fault(report, "the stream reader used the output on its own");
    }
}

} // namespace

const char* outcomeName(WalkOutcome outcome) {
    switch (outcome) {
    case WalkOutcome::Plays:
        return "plays";
    case WalkOutcome::BundleEnds:
        return "bundle ends inside a block";
    case WalkOutcome::WrongMagic:
        return "wrong magic";
    case WalkOutcome::HeaderCut:
        return "header cut";
    case WalkOutcome::TableCut:
        return "table cut";
    case WalkOutcome::TooManyBlocks:
        return "too many blocks";
    case WalkOutcome::NoBlocks:
        return "no blocks";
    case WalkOutcome::NoDataTag:
        return "no DATA tag";
    }
    return "?";
}

std::int32_t runBlockDecoder(std::int32_t codec, std::int32_t storedSize) {
    if (codec == Codec10) {
        return decodeCodec10(storedSize);
    }
    return codec == Codec11 ? decodeCodec11(storedSize) : decodeCodec12(storedSize);
}

void checkDecodeResult(std::int32_t codec, std::int32_t length, std::vector<std::string>& faults) {
    if (length < 0 || length > LzOutputLimit) {
        faults.push_back("decoded length " + std::to_string(length) + " out of range");
        return;
    }
    // Codec 11 finishes its last triple in byte L when L is a multiple of 3.
    const bool writesByteL = codec == Codec11 && length >= 2 && length % 3 == 0;
    const auto decodeEnd = static_cast<std::size_t>(length + (writesByteL ? 1 : 0));
    if (!allEqual(DecodeBuffer.subspan(decodeEnd), 0)) {
        faults.push_back("decode buffer not zero past the block, length " + std::to_string(length));
    }
    const auto scratchEnd = static_cast<std::size_t>(length < 2 ? 0 : length);
    if (!allEqual(ScratchBuffer.subspan(scratchEnd), 0)) {
        faults.push_back("scratch buffer not zero past the block, length " +
                         std::to_string(length));
    }
}

WalkReport walkBundle(std::span<const std::uint8_t> image, std::uint32_t streamOffset) {
    WalkReport report;
    std::FILE* const file = openImage(image);
    if (file == nullptr) {
        fault(report, "cannot make a file of the image");
        return report;
    }
    // The stream buffer is program-wide; the player starts with it zero.
    StreamBuffer.fill(0);

    const TrackLoad load = loadTrack(file, streamOffset).outcome;
    report.outcome = outcomeOfLoad(load);
    if (load == TrackLoad::Loaded) {
        checkTable(report);
        report.blocks = Blocks.count;
        std::int32_t cutBlock = 0;
        const std::int32_t tag = fetchEveryBlock(image, report, cutBlock);
        // Loaded again for playback, as the player loads the table once and
        // then streams.
        if (loadTrack(file, streamOffset).outcome != TrackLoad::Loaded ||
            Blocks.count != report.blocks) {
            fault(report, "the same track loaded differently the second time");
        } else {
            streamEveryBatch(tag, cutBlock, report);
        }
    }
    std::fclose(file);
    BundleFile = nullptr;
    return report;
}

#include "bundle/track.h"

#include <cstdlib>
#include <span>

#include "platform/files.h"

BlockTable Blocks{};
std::FILE* BundleFile = nullptr;
std::uint32_t TrackStreamOffset = 0;

namespace {

constexpr std::size_t HeaderSize = 16;
constexpr std::size_t EntrySize = 16;

std::uint32_t bigEndian32(std::span<const std::uint8_t, 4> bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

std::uint32_t littleEndian32(std::span<const std::uint8_t, 4> bytes) {
    return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
           (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

enum class EntryAdd { Added, Dropped, Full };

// Full when the entry trips the block limit.
EntryAdd addBlock(std::uint32_t blockOffset, std::uint32_t storedSize, std::uint32_t codec) {
    const std::int32_t slot = Blocks.count;
    Blocks.absoluteOffset[slot] = std::int64_t{TrackStreamOffset} + blockOffset;
    Blocks.storedSize[slot] = static_cast<std::int32_t>(storedSize);
    Blocks.codec[slot] = static_cast<std::int32_t>(codec);
    ++Blocks.count;

    // The limit is tested first: once 4096 blocks are in, any further entry
    // ends the load, whatever its codec.
    if (Blocks.count > MaxBlocks) {
        return EntryAdd::Full;
    }
    const std::int32_t kind = Blocks.codec[slot];
    if (kind != CodecRaw && kind != Codec10 && kind != Codec11 && kind != Codec12) {
        --Blocks.count;
        return EntryAdd::Dropped;
    }
    return EntryAdd::Added;
}

} // namespace

TrackOpening readTrackHeader(std::FILE* bundle, std::uint32_t streamOffset) {
    BundleFile = bundle;
    TrackStreamOffset = streamOffset;
    Blocks.count = 0;
    Blocks.nextIndex = 0;
    seekFile(bundle, streamOffset);

    std::array<std::uint8_t, HeaderSize> header{};
    const std::size_t headerRead = std::fread(header.data(), 1, header.size(), bundle);
    const std::span<const std::uint8_t, HeaderSize> fields(header);
    TrackOpening opening{.outcome = TrackLoad::Loaded,
                         .magic = littleEndian32(fields.first<4>()),
                         .droppedEntries = 0,
                         .droppedCodec = 0,
                         .entriesLeft = 0};
    if (headerRead >= 4 &&
        (header[0] != 'C' || header[1] != 'O' || header[2] != 'M' || header[3] != 'P')) {
        opening.outcome = TrackLoad::WrongMagic;
    } else if (headerRead != header.size()) {
        // A copy that ends inside the header or the table is damaged: stop
        // rather than use bytes that were never read.
        opening.outcome = TrackLoad::HeaderCut;
    } else {
        opening.entriesLeft = bigEndian32(fields.subspan<4, 4>());
    }
    return opening;
}

bool loadTableEntries(TrackOpening& opening) {
    while (opening.outcome == TrackLoad::Loaded && opening.entriesLeft > 0) {
        --opening.entriesLeft;
        std::array<std::uint8_t, EntrySize> entry{};
        if (std::fread(entry.data(), 1, entry.size(), BundleFile) != entry.size()) {
            opening.outcome = TrackLoad::TableCut;
            break;
        }
        const std::span<const std::uint8_t, EntrySize> entryFields(entry);
        const std::uint32_t codec = bigEndian32(entryFields.subspan<8, 4>());
        const EntryAdd added = addBlock(bigEndian32(entryFields.subspan<0, 4>()),
                                        bigEndian32(entryFields.subspan<4, 4>()), codec);
        if (added == EntryAdd::Full) {
            opening.outcome = TrackLoad::TooManyBlocks;
            break;
        }
        if (added == EntryAdd::Dropped) {
            ++opening.droppedEntries;
            opening.droppedCodec = static_cast<std::int32_t>(codec);
            return true;
        }
    }
    return false;
}

TrackOpening loadTrack(std::FILE* bundle, std::uint32_t streamOffset) {
    TrackOpening opening = readTrackHeader(bundle, streamOffset);
    while (loadTableEntries(opening)) {
    }
    return opening;
}

void openTrack(const char* bundlePath, std::uint32_t streamOffset) {
    std::FILE* const bundle = openRegularFile(bundlePath);
    if (bundle == nullptr) {
        std::printf("%s not found\n", bundlePath);
        std::exit(1);
    }
    // Each entry of an unknown codec is reported as it is dropped.
    TrackOpening opening = readTrackHeader(bundle, streamOffset);
    while (loadTableEntries(opening)) {
        std::printf("Out of type range: %d!\n", opening.droppedCodec);
    }
    switch (opening.outcome) {
    case TrackLoad::Loaded:
        return;
    case TrackLoad::WrongMagic:
        std::printf("Magic: %x!\n", opening.magic);
        std::printf(
            "You must point at X:\\zelvor\\zelvormusic.bun, where X is your CDROM drive!\n");
        break;
    case TrackLoad::HeaderCut:
        std::printf("%s: track header cut short!\n", bundlePath);
        break;
    case TrackLoad::TableCut:
        std::printf("%s: block table cut short!\n", bundlePath);
        break;
    case TrackLoad::TooManyBlocks:
        std::printf("Out of block slots!\n");
        break;
    }
    std::fclose(bundle);
    BundleFile = nullptr;
    std::exit(1);
}

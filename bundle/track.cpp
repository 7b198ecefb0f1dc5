#include "bundle/track.h"

#include <cstdlib>
#include <span>

#include "platform/files.h"

BlockTable Blocks{};
std::FILE* BundleFile = nullptr;
std::uint32_t TrackStreamOffset = 0;
std::uint32_t LastMagicRead = 0;
std::int32_t DroppedEntries = 0;
bool DroppedEntryShown = true;

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

// False when the entry trips the block limit.
bool addBlock(std::uint32_t blockOffset, std::uint32_t storedSize, std::uint32_t codec) {
    const std::int32_t slot = Blocks.count;
    Blocks.absoluteOffset[slot] = std::int64_t{TrackStreamOffset} + blockOffset;
    Blocks.storedSize[slot] = static_cast<std::int32_t>(storedSize);
    Blocks.codec[slot] = static_cast<std::int32_t>(codec);
    ++Blocks.count;

    // The limit is tested first: once 4096 blocks are in, any further entry
    // ends the load, whatever its codec.
    if (Blocks.count > MaxBlocks) {
        return false;
    }
    const std::int32_t kind = Blocks.codec[slot];
    if (kind != CodecRaw && kind != Codec10 && kind != Codec11 && kind != Codec12) {
        if (DroppedEntryShown) {
            std::printf("Out of type range: %d!\n", kind);
        }
        --Blocks.count;
        ++DroppedEntries;
    }
    return true;
}

} // namespace

TrackLoad loadTrack(std::FILE* bundle, std::uint32_t streamOffset) {
    BundleFile = bundle;
    TrackStreamOffset = streamOffset;
    Blocks.count = 0;
    Blocks.nextIndex = 0;
    DroppedEntries = 0;
    seekFile(bundle, streamOffset);

    std::array<std::uint8_t, HeaderSize> header{};
    const std::size_t headerRead = std::fread(header.data(), 1, header.size(), bundle);
    const std::span<const std::uint8_t, HeaderSize> fields(header);
    LastMagicRead = littleEndian32(fields.first<4>());
    if (headerRead >= 4 &&
        (header[0] != 'C' || header[1] != 'O' || header[2] != 'M' || header[3] != 'P')) {
        return TrackLoad::WrongMagic;
    }
    // A copy that ends inside the header or the table is damaged: stop rather
    // than use bytes that were never read.
    if (headerRead != header.size()) {
        return TrackLoad::HeaderCut;
    }

    const std::uint32_t blockCount = bigEndian32(fields.subspan<4, 4>());
    for (std::uint32_t entryIndex = 0; entryIndex < blockCount; ++entryIndex) {
        std::array<std::uint8_t, EntrySize> entry{};
        if (std::fread(entry.data(), 1, entry.size(), bundle) != entry.size()) {
            return TrackLoad::TableCut;
        }
        const std::span<const std::uint8_t, EntrySize> entryFields(entry);
        if (!addBlock(bigEndian32(entryFields.subspan<0, 4>()),
                      bigEndian32(entryFields.subspan<4, 4>()),
                      bigEndian32(entryFields.subspan<8, 4>()))) {
            return TrackLoad::TooManyBlocks;
        }
    }
    return TrackLoad::Loaded;
}

void openTrack(const char* bundlePath, std::uint32_t streamOffset) {
    std::FILE* const bundle = openRegularFile(bundlePath);
    if (bundle == nullptr) {
        std::printf("%s not found\n", bundlePath);
        std::exit(1);
    }
    switch (loadTrack(bundle, streamOffset)) {
    case TrackLoad::Loaded:
        return;
    case TrackLoad::WrongMagic:
        std::printf("Magic: %x!\n", LastMagicRead);
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

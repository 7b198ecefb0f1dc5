#include "bundle/track.h"

#include <cstdlib>
#include <span>

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

[[noreturn]] void abandonTrack() {
    std::fclose(BundleFile);
    BundleFile = nullptr;
    std::exit(1);
}

void addBlock(std::uint32_t blockOffset, std::uint32_t storedSize, std::uint32_t codec) {
    const std::int32_t slot = Blocks.count;
    Blocks.absoluteOffset[slot] = std::int64_t{TrackStreamOffset} + blockOffset;
    Blocks.storedSize[slot] = static_cast<std::int32_t>(storedSize);
    Blocks.codec[slot] = static_cast<std::int32_t>(codec);
    ++Blocks.count;

    // The limit is tested first: once 4096 blocks are in, any further entry
    // ends the run, whatever its codec.
    if (Blocks.count > MaxBlocks) {
        std::printf("Out of block slots!\n");
        abandonTrack();
    }
    const std::int32_t kind = Blocks.codec[slot];
    if (kind != CodecRaw && kind != Codec10 && kind != Codec11 && kind != Codec12) {
        std::printf("Out of type range: %d!\n", kind);
        --Blocks.count;
    }
}

} // namespace

void openTrack(const char* bundlePath, std::uint32_t streamOffset) {
    TrackStreamOffset = streamOffset;
    BundleFile = std::fopen(bundlePath, "rb");
    if (BundleFile == nullptr) {
        std::printf("%s not found\n", bundlePath);
        std::exit(1);
    }
    fseeko(BundleFile, static_cast<off_t>(streamOffset), SEEK_SET);

    std::array<std::uint8_t, HeaderSize> header{};
    const std::size_t headerRead = std::fread(header.data(), 1, header.size(), BundleFile);
    const auto magic = std::span<const std::uint8_t, HeaderSize>(header).first<4>();
    const bool magicRead = headerRead >= magic.size();
    if (magicRead && (magic[0] != 'C' || magic[1] != 'O' || magic[2] != 'M' || magic[3] != 'P')) {
        std::printf("Magic: %x!\n", littleEndian32(magic));
        std::printf(
            "You must point at X:\\zelvor\\zelvormusic.bun, where X is your CDROM drive!\n");
        abandonTrack();
    }
    // A copy that ends inside the header or the table is damaged: stop rather
    // than play from bytes that were never read.
    if (headerRead != header.size()) {
        std::printf("%s: track header cut short!\n", bundlePath);
        abandonTrack();
    }

    const std::uint32_t blockCount =
        bigEndian32(std::span<const std::uint8_t, HeaderSize>(header).subspan<4, 4>());
    Blocks.count = 0;
    Blocks.nextIndex = 0;
    for (std::uint32_t entryIndex = 0; entryIndex < blockCount; ++entryIndex) {
        std::array<std::uint8_t, EntrySize> entry{};
        if (std::fread(entry.data(), 1, entry.size(), BundleFile) != entry.size()) {
            std::printf("%s: block table cut short!\n", bundlePath);
            abandonTrack();
        }
        const std::span<const std::uint8_t, EntrySize> fields(entry);
        addBlock(bigEndian32(fields.subspan<0, 4>()), bigEndian32(fields.subspan<4, 4>()),
                 bigEndian32(fields.subspan<8, 4>()));
    }
}

#include "tests/support/test_bundle.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

void appendBigEndian32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

Bytes tableEntry(std::uint32_t blockOffset, std::uint32_t storedSize, std::uint32_t codec) {
    Bytes entry;
    appendBigEndian32(entry, blockOffset);
    appendBigEndian32(entry, storedSize);
    appendBigEndian32(entry, codec);
    appendBigEndian32(entry, 0xA5A5A5A5); // unused word, deliberately not zero
    return entry;
}

void placeTrack(Bytes& image, std::uint32_t trackOffset, const std::vector<TestBlock>& blocks) {
    Bytes track{'C', 'O', 'M', 'P'};
    appendBigEndian32(track, static_cast<std::uint32_t>(blocks.size()));
    appendBigEndian32(track, 0x11111111); // unused
    appendBigEndian32(track, 0x22222222);
    std::uint32_t blockOffset = static_cast<std::uint32_t>(16 + 16 * blocks.size());
    for (const TestBlock& block : blocks) {
        const Bytes entry =
            tableEntry(blockOffset, static_cast<std::uint32_t>(block.stored.size()), block.codec);
        track.insert(track.end(), entry.begin(), entry.end());
        blockOffset += static_cast<std::uint32_t>(block.stored.size());
    }
    for (const TestBlock& block : blocks) {
        track.insert(track.end(), block.stored.begin(), block.stored.end());
    }
    if (image.size() < trackOffset + track.size()) {
        image.resize(trackOffset + track.size(), 0);
    }
    std::copy(track.begin(), track.end(), image.begin() + trackOffset);
}

Bytes patterned(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint8_t& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>((state >> 24) & 0x3F);
    }
    return bytes;
}

void putTag(Bytes& block, std::size_t at) {
    std::copy_n("DATA", 4, block.begin() + static_cast<std::ptrdiff_t>(at));
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

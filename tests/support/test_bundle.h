#pragma once
// Builds small bundle images for tests: a track header, its block table and
// the blocks' stored bytes, at any offset of the image.
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct TestBlock {
    Bytes stored;
    std::uint32_t codec = 0;
};

void appendBigEndian32(Bytes& bytes, std::uint32_t value);

// One 16-byte table entry: offset from the track header, stored size, codec.
Bytes tableEntry(std::uint32_t blockOffset, std::uint32_t storedSize, std::uint32_t codec);

// Lays the track at trackOffset of image (growing it with zeros as needed):
// the header with the block count, the table, then each block's bytes in
// order right after the table.
void placeTrack(Bytes& image, std::uint32_t trackOffset, const std::vector<TestBlock>& blocks);

// Deterministic filler bytes, all below 0x40, so "DATA" never turns up in
// them by chance.
Bytes patterned(std::size_t count, std::uint32_t seed);
// Writes the tag that starts the sample data at position at of a block.
void putTag(Bytes& block, std::size_t at);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

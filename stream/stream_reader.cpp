#include "stream/stream_reader.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "bundle/track.h"

std::array<std::uint8_t, StreamBlockSize + StreamTailSize> StreamBuffer{};
std::array<std::int16_t, SampleBatchSize> SampleBuffer{};
std::int32_t SampleCount = 0;
std::int32_t BundleEndBlock = -1;
BlockFetchNote LastStreamNote{};
std::int32_t NotedBlocks = 0;

namespace {

// Next byte to take from StreamBuffer; StreamBlockSize or more: block used up.
std::int32_t StreamPosition = 0;
bool StreamEnded = false;

constexpr std::span<std::uint8_t, StreamBlockSize> currentBlock() {
    return std::span<std::uint8_t, StreamBlockSize>(StreamBuffer.data(), StreamBlockSize);
}

// A 12-bit value offset by 2048, widened to 16 bits.
constexpr std::int16_t widen(std::uint32_t value) {
    return static_cast<std::int16_t>((static_cast<std::int32_t>(value) - 2048) * 16);
}

void storeTriple(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    SampleBuffer[static_cast<std::size_t>(SampleCount)] = widen((b1 & 0x0Fu) * 256u + b0);
    SampleBuffer[static_cast<std::size_t>(SampleCount) + 1] = widen((b1 & 0xF0u) * 16u + b2);
    SampleCount += 2;
}

// Fetches the next block into StreamBuffer and records what it found; false
// when nothing was delivered, which ends the stream.
bool fetchStreamBlock() {
    const BlockFetch fetch = fetchNextBlock(currentBlock());
    LastStreamNote = fetch.note;
    NotedBlocks += fetchNoted(fetch.note) ? 1 : 0;
    if (fetch.status == BundleEndsInBlock) {
        BundleEndBlock = Blocks.nextIndex - 1;
    }
    StreamEnded = fetch.status != 0;
    return !StreamEnded;
}

// Takes the next stream byte, fetching the next block first when the current
// one is used up; false at the end of the track's blocks.
bool takeByte(std::uint8_t& byte) {
    if (StreamPosition >= StreamBlockSize) {
        if (!fetchStreamBlock()) {
            return false;
        }
        StreamPosition = 0;
    }
    byte = StreamBuffer[static_cast<std::size_t>(StreamPosition)];
    ++StreamPosition;
    return true;
}

} // namespace

StreamStart beginStream() {
    StreamPosition = 0;
    SampleCount = 0;
    StreamEnded = false;
    BundleEndBlock = -1;
    LastStreamNote = {};
    NotedBlocks = 0;
    if (!fetchStreamBlock()) {
        return BundleEndBlock >= 0 ? StreamStart::BundleCut : StreamStart::NoBlocks;
    }
    // The zero tail after the block never matches, so a tag can start at 8188
    // at the latest; the first match wins.
    std::int32_t tag = -1;
    for (std::int32_t p = 0; p < StreamBlockSize; ++p) {
        const auto at = static_cast<std::size_t>(p);
        if (StreamBuffer[at] == 'D' && StreamBuffer[at + 1] == 'A' && StreamBuffer[at + 2] == 'T' &&
            StreamBuffer[at + 3] == 'A') {
            tag = p;
            break;
        }
    }
    if (tag < 0 || tag > StreamBlockSize - 2) {
        return StreamStart::NoDataTag;
    }
    // The tag and the four bytes after it are skipped. A start past the block
    // begins at byte 0 of the next one.
    StreamPosition = tag + 8;
    return StreamStart::Ready;
}

std::int32_t fillBatch() {
    SampleCount = 0;
    while (SampleCount < SampleBatchSize && !StreamEnded) {
        // Whole triples inside the current block go straight through...
        const std::int32_t inBlock = std::max(0, (StreamBlockSize - StreamPosition) / 3);
        const std::int32_t room = (SampleBatchSize - SampleCount) / 2;
        const std::int32_t triples = std::min(inBlock, room);
        const std::uint8_t* bytes = StreamBuffer.data() + StreamPosition;
        for (std::int32_t t = 0; t < triples; ++t, bytes += 3) {
            storeTriple(bytes[0], bytes[1], bytes[2]);
        }
        StreamPosition += 3 * triples;
        if (SampleCount == SampleBatchSize) {
            break;
        }
        // ...and one that straddles the block boundary takes its bytes one at
        // a time, fetching the next block when its first byte is needed.
        std::uint8_t b0 = 0;
        std::uint8_t b1 = 0;
        std::uint8_t b2 = 0;
        if (takeByte(b0) && takeByte(b1) && takeByte(b2)) {
            storeTriple(b0, b1, b2);
        }
    }
    return SampleCount;
}

std::int64_t samplesRemaining(std::int32_t endBlock) {
    if (StreamEnded) {
        return 0;
    }
    // A position past the block starts the next block at its byte 0.
    const std::int64_t inBlock = std::max(0, StreamBlockSize - StreamPosition);
    const std::int64_t blocksToCome =
        std::max(0, std::min(endBlock, Blocks.count) - Blocks.nextIndex);
    return 2 * ((inBlock + blocksToCome * StreamBlockSize) / 3);
}

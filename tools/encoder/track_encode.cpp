#include "tools/encoder/track_encode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tools/encoder/block_encode.h"

namespace {

constexpr std::int32_t HeaderBytes = 16;
constexpr std::int32_t EntryBytes = 16;

template <std::size_t Size>
void putBigEndian(std::array<std::uint8_t, Size>& to, std::size_t at, std::uint32_t value) {
    to[at] = static_cast<std::uint8_t>(value >> 24);
    to[at + 1] = static_cast<std::uint8_t>(value >> 16);
    to[at + 2] = static_cast<std::uint8_t>(value >> 8);
    to[at + 3] = static_cast<std::uint8_t>(value);
}

void appendTriple(std::vector<std::uint8_t>& out, StereoValue v) {
    out.push_back(static_cast<std::uint8_t>(v.left & 0xFF));
    out.push_back(static_cast<std::uint8_t>(((v.right >> 4) & 0xF0) | ((v.left >> 8) & 0x0F)));
    out.push_back(static_cast<std::uint8_t>(v.right & 0xFF));
}

} // namespace

std::uint16_t quantiseSample(float sample) {
    const long v = std::lround(static_cast<double>(sample) * 2048.0) + 2048;
    return static_cast<std::uint16_t>(std::clamp(v, 0L, 4095L));
}

std::int32_t streamDataStart(std::int32_t leadIn) {
    return std::min(leadIn + 8, BlockBytes);
}

std::int64_t paddedFrames(std::int64_t frames) {
    return (frames + FramesPerBatch - 1) / FramesPerBatch * FramesPerBatch;
}

std::int64_t blocksForFrames(std::int64_t frames, std::int32_t leadIn) {
    const std::int64_t end = streamDataStart(leadIn) + 3 * paddedFrames(frames);
    return std::max<std::int64_t>(1, (end + BlockBytes - 1) / BlockBytes);
}

std::vector<std::uint8_t> buildStream(std::span<const StereoValue> frames, std::int32_t leadIn) {
    const std::int64_t padded = paddedFrames(static_cast<std::int64_t>(frames.size()));
    const std::int32_t start = streamDataStart(leadIn);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(leadIn) + 8, 0);

    // Our own header, cut short when the lead-in is shorter; the rest of the
    // lead-in stays zero, so "DATA" first appears where we put it.
    std::array<std::uint8_t, HeaderBytes> header{'Z', 'E', 'L', 'V', 'O', 'R', 'P', 'K'};
    putBigEndian(header, 8, static_cast<std::uint32_t>(frames.size()));
    header[12] = static_cast<std::uint8_t>(SampleRate >> 8);
    header[13] = static_cast<std::uint8_t>(SampleRate & 0xFF);
    header[14] = 2;  // channels
    header[15] = 12; // bits per value
    std::memcpy(out.data(), header.data(), static_cast<std::size_t>(std::min(leadIn, HeaderBytes)));
    std::array<std::uint8_t, 8> tag{'D', 'A', 'T', 'A'};
    putBigEndian(tag, 4, static_cast<std::uint32_t>(3 * padded));
    std::copy(tag.begin(), tag.end(), out.begin() + leadIn);
    out.resize(static_cast<std::size_t>(start));

    out.reserve(static_cast<std::size_t>(
        blocksForFrames(static_cast<std::int64_t>(frames.size()), leadIn) * BlockBytes));
    for (const StereoValue v : frames) {
        appendTriple(out, v);
    }
    const StereoValue silence{SilenceValue, SilenceValue};
    for (std::int64_t i = static_cast<std::int64_t>(frames.size()); i < padded; ++i) {
        appendTriple(out, silence);
    }
    // Fill the last block with silent triples that continue the grid; the
    // bytes of a triple cut by the block's end are never played.
    const std::size_t blocks = std::max<std::size_t>(1, (out.size() + BlockBytes - 1) / BlockBytes);
    while (out.size() < blocks * BlockBytes) {
        appendTriple(out, silence);
    }
    out.resize(blocks * BlockBytes);
    return out;
}

EncodedTrack encodeStream(std::span<const std::uint8_t> stream, std::int32_t dataStart) {
    const std::int32_t count = static_cast<std::int32_t>(stream.size() / BlockBytes);
    std::array<std::uint8_t, HeaderBytes> header{'C', 'O', 'M', 'P'};
    putBigEndian(header, 4, static_cast<std::uint32_t>(count));
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.resize(static_cast<std::size_t>(HeaderBytes + EntryBytes * count), 0);

    StreamBlock block{};
    for (std::int32_t k = 0; k < count; ++k) {
        std::memcpy(block.data(), &stream[static_cast<std::size_t>(k) * BlockBytes], BlockBytes);
        // Block k starts at byte 8192k = 2k (mod 3) of the stream, so the
        // grid of triples meets it one byte later than the block before.
        std::int32_t codec = codecForPhase((dataStart + k) % 3);
        std::vector<std::uint8_t> stored = encodeBlock(codec, block);
        if (stored.size() >= block.size()) {
            // Noise-like audio: store the block as it is.
            codec = 0;
            stored.assign(block.begin(), block.end());
        }
        std::array<std::uint8_t, EntryBytes> entry{};
        putBigEndian(entry, 0, static_cast<std::uint32_t>(bytes.size()));
        putBigEndian(entry, 4, static_cast<std::uint32_t>(stored.size()));
        putBigEndian(entry, 8, static_cast<std::uint32_t>(codec));
        std::copy(entry.begin(), entry.end(), bytes.begin() + HeaderBytes + EntryBytes * k);
        bytes.insert(bytes.end(), stored.begin(), stored.end());
    }
    return EncodedTrack{std::move(bytes), static_cast<std::int64_t>(count) * BlockBytes, count};
}

bool encodeTrack(std::span<const StereoValue> frames, std::int32_t leadIn, EncodedTrack& track,
                 std::string& error) {
    if (leadIn < 0 || leadIn > MaxLeadIn) {
        error = "the lead-in must be 0 to " + std::to_string(MaxLeadIn) + " bytes";
        return false;
    }
    const std::int64_t blocks = blocksForFrames(static_cast<std::int64_t>(frames.size()), leadIn);
    if (blocks > MaxTrackBlocks) {
        const double seconds = static_cast<double>(frames.size()) / SampleRate;
        error = "the audio lasts " + std::to_string(static_cast<long>(seconds)) + " s and needs " +
                std::to_string(blocks) + " blocks; a track holds at most " +
                std::to_string(MaxTrackBlocks) + " blocks (about 8 min 27 s)";
        return false;
    }
    const std::vector<std::uint8_t> stream = buildStream(frames, leadIn);
    track = encodeStream(stream, streamDataStart(leadIn));
    return true;
}

#pragma once
// From 12-bit stereo values to a track: the packed stream with its own small
// header and the "DATA" tag, split into blocks, each block encoded with the
// codec that matches where the triples fall in it.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One frame as the stream carries it: two 12-bit values, 2048 is silence.
struct StereoValue {
    std::uint16_t left;
    std::uint16_t right;
};

inline constexpr std::uint16_t SilenceValue = 2048;
inline constexpr std::int32_t SampleRate = 22050;
// The player hands the device 4096 frames at a time and drops a final
// partial batch, so the music is padded with silence to whole batches.
inline constexpr std::int32_t FramesPerBatch = 4096;
inline constexpr std::int32_t MaxTrackBlocks = 4096;

// The bytes before the tag: the stream header "ZELVORPK", the frame count
// (big-endian), rate and format. 16 bytes put the first triple at byte 24,
// so block 0 is a codec 10 block.
inline constexpr std::int32_t HeaderLeadIn = 16;
// The tag must lie wholly in the first block.
inline constexpr std::int32_t MaxLeadIn = 8188;

// Nearest 12-bit value for a sample in [-1, 1) (full scale 32768), clamped.
std::uint16_t quantiseSample(float sample);
// The 16-bit sample that the player makes of a 12-bit value.
inline constexpr std::int16_t widenValue(std::uint16_t value) {
    return static_cast<std::int16_t>((value - 2048) * 16);
}

// Where the triples begin: 8 bytes after the tag, or at the start of the
// second block when that lies past the first (the player does not skip the
// overshoot).
std::int32_t streamDataStart(std::int32_t leadIn);
// Number of frames the stream carries: the input padded to whole batches.
std::int64_t paddedFrames(std::int64_t frames);
std::int64_t blocksForFrames(std::int64_t frames, std::int32_t leadIn);

// The packed stream, a whole number of 8192-byte blocks: lead-in, "DATA", the
// byte count of the triples (big-endian), the triples of the padded frames,
// then silent triples to the end of the last block (fewer than one batch, so
// the player stops at the end of the music).
std::vector<std::uint8_t> buildStream(std::span<const StereoValue> frames, std::int32_t leadIn);

struct EncodedTrack {
    std::vector<std::uint8_t> bytes; // header, block table, stored blocks
    std::int64_t rawStreamBytes;     // 8192 per block
    std::int32_t blockCount;
};

// Encodes a whole track. Fails (false, with a message) when the frames need
// more than 4096 blocks or leadIn is out of range.
bool encodeTrack(std::span<const StereoValue> frames, std::int32_t leadIn, EncodedTrack& track,
                 std::string& error);
// The same from a ready stream of whole blocks whose triples begin at byte
// dataStart (which sets the grid, and so the codec, of every block).
EncodedTrack encodeStream(std::span<const std::uint8_t> stream, std::int32_t dataStart);

#pragma once
// Real encoded music for the benchmarks: a synthesised piece like the demo
// bundle's, encoded by the encoder library into a bundle file, once per run.
#include <cstdint>
#include <string>
#include <vector>

struct BenchBlock {
    std::int32_t codec;
    std::vector<std::uint8_t> stored;
};

struct BenchMusic {
    std::string bundlePath;         // the encoded track at offset 0, the raw one after it
    std::uint32_t rawTrackOffset;   // the same stream stored as raw (codec 0) blocks
    std::vector<BenchBlock> blocks; // the encoded track's blocks in order
    double seconds;                 // of music in the track
};

// Every block of the stream decodes to this many bytes, which carry 4/3 as
// many bytes of 16-bit stereo PCM.
inline constexpr double PcmBytesPerStreamByte = 4.0 / 3.0;
inline constexpr double PcmBytesPerSecond = 22050.0 * 4.0;

const BenchMusic& benchMusic();

// Opens the bundle and loads the track at offset for fetchBlock, progress
// text off.
void openBenchTrack(std::uint32_t offset);

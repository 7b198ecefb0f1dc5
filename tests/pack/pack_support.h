#pragma once
// Signals, blocks and temporary folders shared by the encoder tests.
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tools/encoder/block_encode.h"
#include "tools/encoder/track_encode.h"

inline StreamBlock randomBlock(std::uint32_t seed) {
    std::mt19937 random(seed);
    StreamBlock block{};
    for (std::uint8_t& b : block) {
        b = static_cast<std::uint8_t>(random());
    }
    return block;
}

// A two-tone test signal with a little noise, different on both channels,
// that reaches the clamped top and the bottom of the range now and then.
inline std::vector<StereoValue> testSignal(std::int64_t frames, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<StereoValue> out(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        const double l = 0.6 * std::sin(2 * 3.14159265 * 440.0 * t) +
                         0.45 * std::sin(2 * 3.14159265 * 3.1 * t) +
                         static_cast<double>(random() % 64) / 2048.0;
        const double r = 0.7 * std::sin(2 * 3.14159265 * 277.2 * t + 1.0) +
                         static_cast<double>(random() % 32) / 2048.0;
        out[static_cast<std::size_t>(i)] = StereoValue{quantiseSample(static_cast<float>(l)),
                                                       quantiseSample(static_cast<float>(r))};
    }
    return out;
}

// The samples the player should submit for these frames: every frame
// widened, then silence up to a whole batch of 4096 frames.
inline std::vector<std::int16_t> expectedSamples(const std::vector<StereoValue>& frames) {
    std::vector<std::int16_t> out;
    for (const StereoValue v : frames) {
        out.push_back(widenValue(v.left));
        out.push_back(widenValue(v.right));
    }
    while (out.size() % (2 * FramesPerBatch) != 0) {
        out.push_back(0);
    }
    return out;
}

// A fresh, empty folder for one test, removed with its contents afterwards.
struct ScratchFolder {
    std::filesystem::path path;
};

inline ScratchFolder makeScratchFolder(const std::string& name) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("zelvor-pack-" + name + "-" + std::to_string(std::random_device{}()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return ScratchFolder{path};
}

inline std::vector<std::uint8_t> fileRange(const std::filesystem::path& path, std::int64_t at,
                                           std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fseek(f, static_cast<long>(at), SEEK_SET) != 0 ||
            std::fread(bytes.data(), 1, size, f) != size) {
            bytes.clear();
        }
        std::fclose(f);
    }
    return bytes;
}

inline std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::vector<std::uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::uint8_t chunk[65536];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        std::fclose(f);
    }
    return bytes;
}

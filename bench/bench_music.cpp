#include "bench/bench_music.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "bundle/fetch_block.h"
#include "bundle/track.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

namespace {

constexpr double PieceSeconds = 30.0;

void appendBigEndian(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// A track whose blocks are the stream's bytes as they are (codec 0).
std::vector<std::uint8_t> rawTrack(const std::vector<std::uint8_t>& stream) {
    const auto blocks = static_cast<std::uint32_t>(stream.size() / StreamBlockSize);
    std::vector<std::uint8_t> track{'C', 'O', 'M', 'P'};
    appendBigEndian(track, blocks);
    appendBigEndian(track, 0);
    appendBigEndian(track, 0);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        appendBigEndian(track, 16 + 16 * blocks + b * StreamBlockSize);
        appendBigEndian(track, StreamBlockSize);
        appendBigEndian(track, CodecRaw);
        appendBigEndian(track, 0);
    }
    track.insert(track.end(), stream.begin(), stream.end());
    return track;
}

void loadBenchTrack(const std::string& path, std::uint32_t offset) {
    if (BundleFile != nullptr) {
        std::fclose(BundleFile);
    }
    std::FILE* const file = std::fopen(path.c_str(), "rb");
    if (file == nullptr || loadTrack(file, offset).outcome != TrackLoad::Loaded) {
        std::fprintf(stderr, "cannot load the benchmark track from %s\n", path.c_str());
        std::exit(1);
    }
    // The decoder benchmarks fill BlockInputBuffer themselves.
    blockInputWritten();
}

BenchMusic makeMusic() {
    // The demo's long piece is centred; this one is too.
    const std::vector<StereoValue> frames = synthesisePiece(1, PieceSeconds, true);
    EncodedTrack track;
    std::string error;
    if (!encodeTrack(frames, HeaderLeadIn, track, error)) {
        std::fprintf(stderr, "cannot encode the benchmark piece: %s\n", error.c_str());
        std::exit(1);
    }
    const std::vector<std::uint8_t> stream = buildStream(frames, HeaderLeadIn);

    BenchMusic music;
    music.seconds = PieceSeconds;
    music.bundlePath = (std::filesystem::temp_directory_path() /
                        ("zelvor-bench-" + std::to_string(getpid()) + ".bun"))
                           .string();
    std::vector<std::uint8_t> image = track.bytes;
    music.rawTrackOffset = static_cast<std::uint32_t>(image.size());
    const std::vector<std::uint8_t> raw = rawTrack(stream);
    image.insert(image.end(), raw.begin(), raw.end());

    std::FILE* const file = std::fopen(music.bundlePath.c_str(), "wb");
    if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size()) {
        std::fprintf(stderr, "cannot write %s\n", music.bundlePath.c_str());
        std::exit(1);
    }
    std::fclose(file);
    std::atexit([] { std::filesystem::remove(benchMusic().bundlePath); });

    // The stored blocks, straight from the table the player loads.
    loadBenchTrack(music.bundlePath, 0);
    for (std::int32_t b = 0; b < Blocks.count; ++b) {
        const auto at = static_cast<std::size_t>(Blocks.absoluteOffset[b]);
        const auto size = static_cast<std::size_t>(Blocks.storedSize[b]);
        music.blocks.push_back(
            {Blocks.codec[b],
             std::vector<std::uint8_t>(image.begin() + at, image.begin() + at + size)});
    }
    return music;
}

} // namespace

const BenchMusic& benchMusic() {
    static const BenchMusic Music = makeMusic();
    return Music;
}

void openBenchTrack(std::uint32_t offset) {
    loadBenchTrack(benchMusic().bundlePath, offset);
}

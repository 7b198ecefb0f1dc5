// Writes the seed corpora of the fuzz targets: scripts/fuzz runs it as
//   hostile_seeds DIR
// and gets DIR/fuzz_bundle (bundle images: the hostile cases, a small valid
// bundle and one from the encoder) and DIR/fuzz_codec10, 11, 12 (stored
// blocks behind the decoder targets' five-byte header).
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/hostile/hostile_bundles.h"
#include "tools/encoder/block_encode.h"

namespace {

// The bundle target's corpus stays small enough to mutate quickly.
constexpr std::size_t LargestSeed = 96 * 1024;

void writeSeed(const std::filesystem::path& directory, const std::string& name,
               const Bytes& bytes) {
    std::filesystem::create_directories(directory);
    writeFile((directory / name).string(), bytes);
}

// Mode 0 (the stored size is the number of bytes), size field 0.
Bytes decoderInput(const Bytes& stored, std::uint8_t mode = 0, std::uint32_t sizeField = 0) {
    Bytes input{mode};
    for (int shift = 0; shift < 32; shift += 8) {
        input.push_back(static_cast<std::uint8_t>(sizeField >> shift));
    }
    input.insert(input.end(), stored.begin(), stored.end());
    return input;
}

std::uint32_t field(const Bytes& image, std::size_t at) {
    return std::uint32_t{image[at]} << 24 | std::uint32_t{image[at + 1]} << 16 |
           std::uint32_t{image[at + 2]} << 8 | std::uint32_t{image[at + 3]};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hostile_seeds DIR\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::filesystem::path bundles = root / "fuzz_bundle";

    int written = 0;
    for (const HostileCase& c : hostileCases()) {
        if (!c.heavy && c.image.size() <= LargestSeed) {
            writeSeed(bundles, "hostile-" + std::to_string(written++), c.image);
        }
    }
    writeSeed(bundles, "small", smallValidBundle());
    const EncodedBundle encoded = encodedBundle();
    writeSeed(bundles, "encoded", encoded.image);

    // The encoder's stored blocks, each in the corpus of its own codec.
    const std::size_t table = HostileTrackOffset + 16;
    const std::uint32_t count = field(encoded.image, HostileTrackOffset + 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = table + 16 * i;
        const std::size_t offset = HostileTrackOffset + field(encoded.image, entry);
        const std::uint32_t size = field(encoded.image, entry + 4);
        const std::uint32_t codec = field(encoded.image, entry + 8);
        const Bytes stored(encoded.image.begin() + static_cast<std::ptrdiff_t>(offset),
                           encoded.image.begin() + static_cast<std::ptrdiff_t>(offset + size));
        writeSeed(root / ("fuzz_codec" + std::to_string(codec)), "encoded-" + std::to_string(i),
                  decoderInput(stored));
    }
    // The hostile streams for every decoder, also with stored sizes that the
    // block fetch never passes.
    for (const int codec : {10, 11, 12}) {
        const std::filesystem::path directory = root / ("fuzz_codec" + std::to_string(codec));
        int n = 0;
        for (const auto& [what, stream] : hostileStreams()) {
            writeSeed(directory, "stream-" + std::to_string(n++), decoderInput(stream));
        }
        const Bytes literals{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};
        writeSeed(directory, "shorter-size", decoderInput(literals, 2, 5));
        writeSeed(directory, "negative-size", decoderInput(literals, 3, 0x80000000));
        writeSeed(directory, "size-past-buffer", decoderInput(literals, 3, 0x7FFFFFFF));
    }
    std::printf("seed corpora written to %s\n", root.c_str());
    return 0;
}

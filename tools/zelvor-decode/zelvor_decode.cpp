// zelvor-decode BUNDLE TRACK: decodes a track as the player does (block
// fetch, decoders, stream reader) and writes its 16-bit stereo samples to
// standard output, with no audio device. bench/compare runs it to nothing
// next to `flac -d -c` on the same music.
#include <cstdio>

#include "bundle/fetch_block.h"
#include "bundle/track.h"
#include "driver/catalogue.h"
#include "driver/track_number.h"
#include "stream/stream_reader.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelvor-decode BUNDLE TRACK\n");
        return 2;
    }
    const std::int64_t number = readTrackNumber(argv[2]);
    if (number < 0 || number >= visibleCount()) {
        std::fprintf(stderr, "no track %s\n", argv[2]);
        return 2;
    }
    std::FILE* const bundle = std::fopen(argv[1], "rb");
    if (bundle == nullptr ||
        loadTrack(bundle, rowForNumber(static_cast<std::int32_t>(number)).streamOffset).outcome !=
            TrackLoad::Loaded) {
        std::fprintf(stderr, "cannot load track %s of %s\n", argv[2], argv[1]);
        return 1;
    }
    if (beginStream() != StreamStart::Ready) {
        std::fprintf(stderr, "no sample data\n");
        return 1;
    }
    // Whole batches only, as the player submits them.
    while (fillBatch() == SampleBatchSize) {
        std::fwrite(SampleBuffer.data(), 1, SampleBatchBytes, stdout);
    }
    return 0;
}

// ZelvorTrack: plays one track of the Zelvor soundtrack from the game's
// music bundle.
#include <cstdio>
#include <cstdlib>

#include "audio/wave_ring.h"
#include "bundle/track.h"
#include "driver/catalogue.h"
#include "driver/track_number.h"
#include "platform/files.h"
#include "platform/priority.h"
#include "stream/stream_reader.h"
#include "zelvor_version.h"

namespace {

void printBanner(bool usage) {
    std::printf("========================= ");
    if (usage) {
        std::printf("    Usage: ZelvorTrack path\\zelvormusic.bun track_number\n");
    } else {
        std::printf("\n");
    }
    std::printf("The Zelvor Soundtrack player              ");
    std::printf("ZelvorTrack " ZELVOR_VERSION " for " ZELVOR_SYSTEM ", by its developers\n");
    std::printf("=========================              ");
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    // The progress text ends without a line feed; on a console every print
    // must show at once. Output to a file or pipe stays buffered.
    if (outputIsConsole()) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }

    const bool argumentsFit = argc == 3;
    printBanner(!argumentsFit);
    if (!argumentsFit) {
        printTrackList();
        return 0;
    }

    const std::int32_t visible = visibleCount();
    const std::int64_t number = readTrackNumber(argv[2]);
    if (number < 0 || number >= visible) {
        std::printf("track_number can be from 0 to %d...\n", visible - 1);
        return 1;
    }
    const TrackEntry& track = rowForNumber(static_cast<std::int32_t>(number));

    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    std::printf("Playing: %s\n\n", track.title);
    openTrack(argv[1], track.streamOffset);
    playStream();

    // Ends the progress line before anything else can print.
    std::printf("\n");
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    waveRingClose();
    // A copy cut short: what was there has played, but the track is not whole.
    if (BundleEndBlock >= 0) {
        printBundleEnd();
        return 1;
    }
    return 0;
}

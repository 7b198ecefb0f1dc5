// Playing the stream: its own file, so that tools which only read batches
// link no audio output.
#include <cstdio>
#include <cstdlib>

#include "audio/wave_ring.h"
#include "bundle/track.h"
#include "platform/console_keys.h"
#include "stream/stream_reader.h"

void printBundleEnd() {
    std::printf("The bundle ends inside block %d of %d...\n", BundleEndBlock, Blocks.count);
}

namespace {

// The progress text of every block fetched since the table's index stood at
// firstIndex: each fetch shows its index, the one that finds no block left
// shows count/count.
void showProgressSince(std::int32_t firstIndex) {
    for (std::int32_t index = firstIndex; index < Blocks.nextIndex; ++index) {
        showBlockProgress(index);
    }
}

} // namespace

void playStream() {
    std::int32_t shownIndex = Blocks.nextIndex;
    const StreamStart start = beginStream();
    showProgressSince(shownIndex);
    switch (start) {
    case StreamStart::NoBlocks:
        std::exit(1);
    case StreamStart::NoDataTag:
        std::printf("No DATA chunk found.\n");
        std::exit(1);
    case StreamStart::BundleCut:
        std::printf("\n");
        printBundleEnd();
        std::exit(1);
    case StreamStart::Ready:
        break;
    }
    holdConsoleSignals();
    waveRingOpen();
    releaseConsoleSignals();
    // A partial batch at the end of the data is not played.
    for (;;) {
        shownIndex = Blocks.nextIndex;
        const bool whole = fillBatch() == SampleBatchSize;
        showProgressSince(shownIndex);
        if (!whole) {
            break;
        }
        waveRingSubmit(SampleBuffer.data(), SampleBatchBytes);
        SampleCount = 0;
        if (keyWaiting()) {
            while (keyWaiting()) {
                readKey();
            }
            waveRingStop();
            return;
        }
    }
}

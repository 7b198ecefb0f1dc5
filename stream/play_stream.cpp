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

void playStream() {
    switch (beginStream()) {
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
    while (fillBatch() == SampleBatchSize) {
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

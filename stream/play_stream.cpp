// Playing the stream: its own file, so that tools which only read batches
// link no audio output.
#include <cstdio>
#include <cstdlib>

#include "audio/wave_ring.h"
#include "platform/console_keys.h"
#include "stream/stream_reader.h"

void playStream() {
    switch (beginStream()) {
    case StreamStart::NoBlocks:
        std::exit(1);
    case StreamStart::NoDataTag:
        std::printf("No DATA chunk found.\n");
        std::exit(1);
    case StreamStart::Ready:
        break;
    }
    waveRingOpen();
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

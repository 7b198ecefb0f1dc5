// The block fetch over a bundle, and the stream reader's batches of 4096
// frames: from encoded blocks, and from raw blocks, where what remains is
// the triple unpacking itself.
#include <benchmark/benchmark.h>

#include "bench/bench_music.h"
#include "bundle/fetch_block.h"
#include "bundle/track.h"
#include "stream/stream_reader.h"

namespace {

void BM_FetchBlock(benchmark::State& state) {
    openBenchTrack(0);
    const std::span<std::uint8_t, StreamBlockSize> destination(StreamBuffer.data(),
                                                               StreamBlockSize);
    std::int64_t fetched = 0;
    for (auto _ : state) {
        if (Blocks.nextIndex >= Blocks.count) {
            Blocks.nextIndex = 0;
        }
        fetched += fetchNextBlock(destination).status == 0 ? 1 : 0;
        benchmark::DoNotOptimize(StreamBuffer.data());
    }
    state.SetBytesProcessed(fetched * StreamBlockSize);
    state.SetItemsProcessed(fetched);
    state.counters["pcm_bytes_per_second"] =
        benchmark::Counter(static_cast<double>(fetched * StreamBlockSize) * PcmBytesPerStreamByte,
                           benchmark::Counter::kIsRate);
}

// state.range(0): 1 for the encoded track, 0 for the raw one.
void BM_FillBatch(benchmark::State& state) {
    const BenchMusic& music = benchMusic();
    const std::uint32_t offset = state.range(0) != 0 ? 0 : music.rawTrackOffset;
    openBenchTrack(offset);
    if (beginStream() != StreamStart::Ready) {
        state.SkipWithError("no stream");
        return;
    }
    std::int64_t samples = 0;
    for (auto _ : state) {
        const std::int32_t filled = fillBatch();
        samples += filled;
        benchmark::DoNotOptimize(SampleBuffer.data());
        if (filled < SampleBatchSize) {
            // The end of the track: start it again.
            Blocks.nextIndex = 0;
            beginStream();
        }
    }
    const auto pcmBytes = static_cast<double>(samples) * 2.0;
    state.SetBytesProcessed(static_cast<std::int64_t>(pcmBytes));
    state.SetItemsProcessed(state.iterations());
    state.counters["x_real_time"] =
        benchmark::Counter(pcmBytes / PcmBytesPerSecond, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_FetchBlock);
BENCHMARK(BM_FillBatch)->ArgName("encoded")->Arg(1)->Arg(0);

} // namespace

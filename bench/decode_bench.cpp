// The three decoders on full 8192-byte blocks of encoded music, and the same
// decodes with the work region cleared whole before each, as it used to be.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "bench/bench_music.h"
#include "codec/decoders.h"

namespace {

std::int32_t decode(std::int32_t codec, std::int32_t storedSize) {
    switch (codec) {
    case 10:
        return decodeCodec10(storedSize);
    case 11:
        return decodeCodec11(storedSize);
    default:
        return decodeCodec12(storedSize);
    }
}

// Each iteration puts the next block of the codec into BlockInputBuffer (and
// zeroes what the longer block before it left past its end, as the block
// fetch's clear would) and decodes it.
void decodeBlocks(benchmark::State& state, bool clearWhole) {
    const auto codec = static_cast<std::int32_t>(state.range(0));
    std::vector<const BenchBlock*> blocks;
    for (const BenchBlock& block : benchMusic().blocks) {
        if (block.codec == codec) {
            blocks.push_back(&block);
        }
    }
    BlockInputBuffer.fill(0);
    std::size_t next = 0;
    std::size_t previousSize = 0;
    std::int64_t decoded = 0;
    for (auto _ : state) {
        const BenchBlock& block = *blocks[next];
        next = (next + 1) % blocks.size();
        std::memcpy(BlockInputBuffer.data(), block.stored.data(), block.stored.size());
        if (previousSize > block.stored.size()) {
            std::memset(BlockInputBuffer.data() + block.stored.size(), 0,
                        previousSize - block.stored.size());
        }
        previousSize = block.stored.size();
        if (clearWhole) {
            clearWholeWorkRegionAtNextDecode();
        }
        decoded += decode(codec, static_cast<std::int32_t>(block.stored.size()));
        benchmark::DoNotOptimize(DecodeBuffer.data());
    }
    if (decoded != state.iterations() * 8192) {
        state.SkipWithError("a block did not decode to 8192 bytes");
    }
    state.SetBytesProcessed(decoded);
    state.SetItemsProcessed(state.iterations());
    state.counters["pcm_bytes_per_second"] = benchmark::Counter(
        static_cast<double>(decoded) * PcmBytesPerStreamByte, benchmark::Counter::kIsRate);
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(decoded) * PcmBytesPerStreamByte / PcmBytesPerSecond,
                           benchmark::Counter::kIsRate);
}

void BM_Decode(benchmark::State& state) {
    decodeBlocks(state, false);
}
void BM_DecodeClearingWhole(benchmark::State& state) {
    decodeBlocks(state, true);
}

BENCHMARK(BM_Decode)->ArgName("codec")->Arg(10)->Arg(11)->Arg(12);
BENCHMARK(BM_DecodeClearingWhole)->ArgName("codec")->Arg(10)->Arg(11)->Arg(12);

} // namespace

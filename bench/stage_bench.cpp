// The stages of a decode on their own, on the blocks of one codec of the
// encoded music: the LZ stage, the reconstruction prelude and the codec's
// packing step. Each block's LZ output is made once, outside the timing.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/bench_music.h"
#include "bundle/fetch_block.h"
#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"

namespace {

enum Stage : std::int64_t { LzStage, PreludeStage, PackingStage };

struct StageBlock {
    const BenchBlock* block;
    std::vector<std::uint8_t> lzOutput;
    std::vector<std::uint8_t> table; // T after the prelude
};

void pack(std::int32_t codec, std::int32_t length) {
    if (codec == 10) {
        packCodec10(length);
    } else if (codec == 11) {
        packCodec11(length);
    } else {
        packCodec12(length);
    }
}

void BM_Stage(benchmark::State& state) {
    const auto stage = static_cast<Stage>(state.range(0));
    const auto codec = static_cast<std::int32_t>(state.range(1));
    std::vector<StageBlock> blocks;
    for (const BenchBlock& block : benchMusic().blocks) {
        if (block.codec != codec) {
            continue;
        }
        BlockInputBuffer.fill(0);
        std::memcpy(BlockInputBuffer.data(), block.stored.data(), block.stored.size());
        clearWholeWorkRegionAtNextDecode();
        StageBlock staged{&block, {}, {}};
        lzExpand(static_cast<std::int32_t>(block.stored.size()));
        staged.lzOutput.assign(DecodeBuffer.begin(), DecodeBuffer.begin() + 8192);
        reconstructPrelude(8192);
        staged.table.assign(ScratchBuffer.begin(), ScratchBuffer.begin() + 8192);
        blocks.push_back(std::move(staged));
    }
    BlockInputBuffer.fill(0);
    std::size_t next = 0;
    std::size_t previousSize = 0;
    for (auto _ : state) {
        const StageBlock& staged = blocks[next];
        next = (next + 1) % blocks.size();
        switch (stage) {
        case LzStage:
            // The bytes past the stored ones are zero, as after a fetch.
            std::memcpy(BlockInputBuffer.data(), staged.block->stored.data(),
                        staged.block->stored.size());
            if (previousSize > staged.block->stored.size()) {
                std::memset(BlockInputBuffer.data() + staged.block->stored.size(), 0,
                            previousSize - staged.block->stored.size());
            }
            previousSize = staged.block->stored.size();
            lzExpand(static_cast<std::int32_t>(staged.block->stored.size()));
            break;
        case PreludeStage:
            std::memcpy(DecodeBuffer.data(), staged.lzOutput.data(), 8192);
            reconstructPrelude(8192);
            break;
        case PackingStage:
            std::memcpy(ScratchBuffer.data(), staged.table.data(), 8192);
            pack(codec, 8192);
            break;
        }
        benchmark::DoNotOptimize(WorkRegion.data());
    }
    // The buffers hold whatever the stages left; later benchmarks start clean.
    clearWholeWorkRegionAtNextDecode();
    blockInputWritten();
    state.SetBytesProcessed(state.iterations() * 8192);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Stage)
    ->ArgNames({"stage", "codec"})
    ->Args({LzStage, 10})
    ->Args({PreludeStage, 10})
    ->Args({PackingStage, 10})
    ->Args({PackingStage, 11})
    ->Args({PackingStage, 12});

} // namespace

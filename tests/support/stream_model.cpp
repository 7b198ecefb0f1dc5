#include "tests/support/stream_model.h"

#include <algorithm>

namespace {
constexpr std::size_t BlockBytes = 8192;
constexpr std::size_t BatchSamples = 8192;
} // namespace

Samples streamSamples(const std::vector<Bytes>& delivered, std::size_t tag) {
    Bytes window(BlockBytes, 0);
    Bytes stream;
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        std::copy_n(delivered[i].begin(), std::min(delivered[i].size(), BlockBytes),
                    window.begin());
        const std::size_t from = i == 0 ? std::min(tag + 8, BlockBytes) : 0;
        stream.insert(stream.end(), window.begin() + static_cast<std::ptrdiff_t>(from),
                      window.end());
    }
    Samples samples;
    for (std::size_t p = 0; p + 3 <= stream.size(); p += 3) {
        const int left = (stream[p + 1] & 0x0F) * 256 + stream[p];
        const int right = (stream[p + 1] & 0xF0) * 16 + stream[p + 2];
        samples.push_back(static_cast<std::int16_t>((left - 2048) * 16));
        samples.push_back(static_cast<std::int16_t>((right - 2048) * 16));
    }
    return samples;
}

std::vector<Samples> wholeBatches(const Samples& samples) {
    std::vector<Samples> batches;
    for (std::size_t s = 0; s + BatchSamples <= samples.size(); s += BatchSamples) {
        batches.emplace_back(samples.begin() + static_cast<std::ptrdiff_t>(s),
                             samples.begin() + static_cast<std::ptrdiff_t>(s + BatchSamples));
    }
    return batches;
}

Samples samplesFromBytes(const Bytes& bytes) {
    Samples samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return samples;
}

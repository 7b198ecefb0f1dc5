#include "tests/pack/reference_decoder.h"

#include <algorithm>
#include <cstring>

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "tests/support/reference_lz.h"

namespace {

std::uint8_t low(std::uint8_t x) {
    return x & 0x0F;
}
std::uint8_t high(std::uint8_t x) {
    return x & 0xF0;
}
std::uint8_t up(std::uint8_t x) {
    return static_cast<std::uint8_t>((x & 0x0F) << 4);
}
std::uint8_t down(std::uint8_t x) {
    return static_cast<std::uint8_t>(x >> 4);
}

} // namespace

std::vector<std::uint8_t> referenceLzBlock(std::span<const std::uint8_t> stored) {
    // As the block fetch hands the bytes over: zeros after them up to the
    // end of the input buffer.
    std::vector<std::uint8_t> input(std::max<std::size_t>(stored.size(), BlockInputSize), 0);
    std::copy(stored.begin(), stored.end(), input.begin());
    return referenceLzExpand(input, static_cast<std::int32_t>(stored.size()), LzOutputLimit).output;
}

std::vector<std::uint8_t> referencePack(std::int32_t codec, std::span<const std::uint8_t> table) {
    const std::int32_t L = static_cast<std::int32_t>(table.size());
    const std::int32_t n = (8 * L) / 12;
    std::vector<std::uint8_t> t(table.begin(), table.end());
    t.push_back(0); // T[L] reads as zero
    std::vector<std::uint8_t> d(t.size() + 1, 0);
    std::copy(table.begin(), table.end(), d.begin()); // what the prelude left
    const auto T = [&](std::int32_t i) { return t[static_cast<std::size_t>(i)]; };
    const auto D = [&](std::int32_t i) -> std::uint8_t& { return d[static_cast<std::size_t>(i)]; };
    if (codec == 10) {
        for (std::int32_t i = 0; i < n; ++i) {
            if (i % 2 == 0) {
                const std::int32_t p = 3 * i / 2;
                D(p) = up(T(i)) | low(T(n + i / 2));
                D(p + 1) = down(T(i));
            } else {
                const std::int32_t p = 3 * (i - 1) / 2;
                D(p + 2) = up(T(i)) | down(high(T(n + (i - 1) / 2 + 1)));
                D(p + 1) = D(p + 1) | high(T(i));
            }
        }
        const std::int32_t f = (12 * (n - 1)) / 8 + 1;
        D(f) = D(f) | high(T(n));
    } else if (codec == 11) {
        D(0) = down(T(n));
        for (std::int32_t i = 1; i <= n; ++i) {
            const std::int32_t p = n + i / 2;
            if (i % 2 == 1) {
                const std::int32_t q = 3 * (i - 1) / 2;
                D(q) = D(q) | high(T(i - 1));
                D(q + 1) = up(T(i - 1)) | low(T(p));
            } else {
                const std::int32_t r = 3 * i / 2;
                D(r) = down(T(i - 1));
                D(r - 1) = up(T(i - 1)) | down(T(p));
            }
        }
    } else {
        D(0) = T(L - 1);
        D(L - 1) = T(n - 1);
        for (std::int32_t k = 0; k <= n - 2; ++k) {
            const std::int32_t m = k / 2;
            const std::int32_t q = n + m;
            if (k % 2 == 0) {
                D(3 * m + 2) = down(T(k));
                D(3 * m + 1) = up(T(k)) | low(T(q));
            } else {
                D(3 * m + 2) = D(3 * m + 2) | high(T(k));
                D(3 * m + 3) = up(T(k)) | down(T(q));
            }
        }
    }
    d.resize(static_cast<std::size_t>(L));
    return d;
}

std::vector<std::uint8_t> referenceDecode(std::int32_t codec,
                                          std::span<const std::uint8_t> stored) {
    if (codec == 0) {
        return std::vector<std::uint8_t>(stored.begin(), stored.end());
    }
    std::vector<std::uint8_t> d = referenceLzBlock(stored);
    const std::size_t L = d.size();
    if (L < 2) {
        return d;
    }
    for (std::size_t i = 2; i < L; ++i) {
        d[i] = static_cast<std::uint8_t>(d[i] + d[i - 1]);
    }
    for (std::size_t i = 1; i < L; ++i) {
        d[i] = static_cast<std::uint8_t>(d[i] + d[i - 1]);
    }
    std::vector<std::uint8_t> t = d;
    const std::size_t h = ((8 * L) / 12) / 2;
    for (std::size_t j = 0; j < h; ++j) {
        t[2 * j] = d[j];
        t[2 * j + 1] = d[h + j];
    }
    return referencePack(codec, t);
}

std::vector<std::int16_t> playedSamples(const std::vector<StreamBlock>& blocks) {
    std::vector<std::int16_t> played;
    if (blocks.empty()) {
        return played;
    }
    std::int32_t tag = -1;
    for (std::int32_t p = 0; p + 3 < BlockBytes && tag < 0; ++p) {
        if (std::memcmp(&blocks[0][static_cast<std::size_t>(p)], "DATA", 4) == 0) {
            tag = p;
        }
    }
    if (tag < 0) {
        return played;
    }
    std::size_t block = 0;
    std::int32_t pos = tag + 8;
    std::vector<std::int16_t> batch;
    for (;;) {
        std::array<std::uint8_t, 3> b{};
        for (std::uint8_t& byte : b) {
            if (pos >= BlockBytes) {
                if (++block == blocks.size()) {
                    return played; // a partial batch is dropped
                }
                pos = 0;
            }
            byte = blocks[block][static_cast<std::size_t>(pos++)];
        }
        const std::int32_t left = (b[1] & 0x0F) * 256 + b[0];
        const std::int32_t right = (b[1] & 0xF0) * 16 + b[2];
        batch.push_back(static_cast<std::int16_t>((left - 2048) * 16));
        batch.push_back(static_cast<std::int16_t>((right - 2048) * 16));
        if (batch.size() == 8192) {
            played.insert(played.end(), batch.begin(), batch.end());
            batch.clear();
        }
    }
}

std::vector<std::uint8_t> programDecode(std::uint32_t codec, std::span<const std::uint8_t> stored,
                                        bool& damaged) {
    damaged = false;
    if (codec == 0) {
        return std::vector<std::uint8_t>(stored.begin(), stored.end());
    }
    BlockInputBuffer.fill(0);
    std::copy(stored.begin(), stored.end(), BlockInputBuffer.begin());
    const std::int32_t size = static_cast<std::int32_t>(stored.size());
    const std::int32_t length = codec == 10   ? decodeCodec10(size)
                                : codec == 11 ? decodeCodec11(size)
                                              : decodeCodec12(size);
    damaged = lastDecodeDamaged();
    return std::vector<std::uint8_t>(DecodeBuffer.begin(), DecodeBuffer.begin() + length);
}

#include "tests/work_region/plain_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bundle/track.h"
#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "tests/support/reference_lz.h"

PlainLzState PlainLz;

namespace {

// The plain LZ stage into DecodeBuffer, its reader's last state in PlainLz.
std::int32_t lzExpandPlain(std::int32_t storedSize) {
    const ReferenceLz lz = referenceLzExpand(BlockInputBuffer, storedSize, LzOutputLimit);
    std::copy(lz.output.begin(), lz.output.end(), DecodeBuffer.begin());
    const auto outCount = static_cast<std::int32_t>(lz.output.size());
    PlainLz = PlainLzState{.inPos = static_cast<std::int32_t>(lz.inPos),
                           .inCount = std::clamp(storedSize, 0, BlockInputSize),
                           .ctrlWord = static_cast<std::uint16_t>(lz.ctrlWord),
                           .ctrlBitsLeft = static_cast<std::uint16_t>(lz.ctrlBitsLeft),
                           .outCount = outCount,
                           .damaged = lz.damaged};
    return outCount;
}

constexpr std::uint8_t low(std::uint8_t x) {
    return static_cast<std::uint8_t>(x & 0x0F);
}
constexpr std::uint8_t high(std::uint8_t x) {
    return static_cast<std::uint8_t>(x & 0xF0);
}
constexpr std::uint8_t lowUp(std::uint8_t x) {
    return static_cast<std::uint8_t>((x & 0x0F) << 4);
}
constexpr std::uint8_t highDown(std::uint8_t x) {
    return static_cast<std::uint8_t>(x >> 4);
}

// The two running sums one after the other, the copy to T, the interleave.
std::int32_t preludePlain(std::int32_t length) {
    const std::int32_t n = 8 * length / 12;
    const std::int32_t h = n >> 1;
    std::uint8_t* const d = DecodeBuffer.data();
    std::uint8_t* const t = ScratchBuffer.data();
    for (std::int32_t i = 2; i < length; ++i) {
        d[i] = static_cast<std::uint8_t>(d[i] + d[i - 1]);
    }
    for (std::int32_t i = 1; i < length; ++i) {
        d[i] = static_cast<std::uint8_t>(d[i] + d[i - 1]);
    }
    std::copy_n(d, length, t);
    for (std::int32_t j = h - 1; j >= 0; --j) {
        t[2 * j] = d[j];
        t[2 * j + 1] = d[h + j];
    }
    return n;
}

void pack10Plain(std::int32_t n) {
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();
    for (std::int32_t i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            const std::int32_t p = 12 * i / 8;
            d[p] = static_cast<std::uint8_t>(lowUp(t[i]) | low(t[n + i / 2]));
            d[p + 1] = highDown(t[i]);
        } else {
            const std::int32_t p = (12 * i - 12) / 8;
            d[p + 2] = static_cast<std::uint8_t>(lowUp(t[i]) | highDown(t[n + (i - 1) / 2 + 1]));
            d[p + 1] = static_cast<std::uint8_t>(d[p + 1] | high(t[i]));
        }
    }
    const std::int32_t f = 12 * (n - 1) / 8 + 1;
    d[f] = static_cast<std::uint8_t>(d[f] | high(t[n]));
}

void pack11Plain(std::int32_t n) {
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();
    d[0] = highDown(t[n]);
    for (std::int32_t i = 1; i <= n; ++i) {
        const std::int32_t p = n + i / 2;
        if (i % 2 == 1) {
            const std::int32_t q = 12 * (i - 1) / 8;
            d[q] = static_cast<std::uint8_t>(d[q] | high(t[i - 1]));
            d[q + 1] = static_cast<std::uint8_t>(lowUp(t[i - 1]) | low(t[p]));
        } else {
            const std::int32_t r = 12 * i / 8;
            d[r] = highDown(t[i - 1]);
            d[r - 1] = static_cast<std::uint8_t>(lowUp(t[i - 1]) | highDown(t[p]));
        }
    }
}

void pack12Plain(std::int32_t length, std::int32_t n) {
    const std::uint8_t* const t = ScratchBuffer.data();
    std::uint8_t* const d = DecodeBuffer.data();
    d[0] = t[length - 1];
    d[length - 1] = t[n - 1];
    for (std::int32_t k = 0; k <= n - 2; ++k) {
        const std::int32_t m = k / 2;
        const std::int32_t q = n + m;
        if (k % 2 == 0) {
            d[3 * m + 2] = highDown(t[k]);
            d[3 * m + 1] = static_cast<std::uint8_t>(lowUp(t[k]) | low(t[q]));
        } else {
            d[3 * m + 2] = static_cast<std::uint8_t>(d[3 * m + 2] | high(t[k]));
            d[3 * m + 3] = static_cast<std::uint8_t>(lowUp(t[k]) | highDown(t[q]));
        }
    }
}

} // namespace

std::int32_t plainDecode(std::int32_t codec, std::int32_t storedSize) {
    WorkRegion.fill(0);
    const std::int32_t length = lzExpandPlain(storedSize);
    // Outputs shorter than 2 bytes keep the LZ output, as in the program.
    if (length < 2) {
        return length;
    }
    const std::int32_t n = preludePlain(length);
    if (codec == Codec10) {
        pack10Plain(n);
    } else if (codec == Codec11) {
        pack11Plain(n);
    } else {
        pack12Plain(length, n);
    }
    return length;
}

std::int32_t plainFetchBlock(std::span<std::uint8_t, StreamBlockSize> destination,
                             BlockFetchNote& note) {
    const std::int32_t index = Blocks.nextIndex;
    if (index <= Blocks.count) {
        ++Blocks.nextIndex;
    }
    if (index > Blocks.count - 1) {
        return NoBlockLeft;
    }
    fseeko(BundleFile, static_cast<off_t>(Blocks.absoluteOffset[index]), SEEK_SET);
    BlockInputBuffer.fill(0);
    const auto storedSize = static_cast<std::uint32_t>(Blocks.storedSize[index]);
    const std::size_t wanted = std::min<std::uint32_t>(storedSize, BlockInputSize);
    const auto bytesRead =
        static_cast<std::int32_t>(std::fread(BlockInputBuffer.data(), 1, wanted, BundleFile));
    const std::int32_t codec = Blocks.codec[index];
    const bool raw = codec == CodecRaw;
    std::int32_t length = raw ? bytesRead : plainDecode(codec, bytesRead);
    note = {.decodeDamaged = !raw && PlainLz.damaged,
            .storedSizeCut = wanted != storedSize,
            .resultCut = length > StreamBlockSize,
            .readShort = static_cast<std::size_t>(bytesRead) != wanted};
    if (note.readShort) {
        return BundleEndsInBlock;
    }
    length = std::clamp(length, 0, StreamBlockSize);
    std::memcpy(destination.data(), raw ? BlockInputBuffer.data() : DecodeBuffer.data(),
                static_cast<std::size_t>(length));
    return 0;
}

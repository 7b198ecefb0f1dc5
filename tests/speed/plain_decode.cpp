#include "tests/speed/plain_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bundle/track.h"
#include "codec/decoders.h"
#include "codec/lz_expand.h"

PlainLzState PlainLz;

namespace {

std::uint16_t readWord() {
    if (PlainLz.inPos > BlockInputSize - 2) {
        PlainLz.damaged = true;
        return 0;
    }
    const std::uint32_t low = BlockInputBuffer[static_cast<std::size_t>(PlainLz.inPos)];
    const std::uint32_t high = BlockInputBuffer[static_cast<std::size_t>(PlainLz.inPos) + 1];
    PlainLz.inPos += 2;
    return static_cast<std::uint16_t>(low | high << 8);
}

std::int32_t readByte() {
    if (PlainLz.inPos >= PlainLz.inCount) {
        return -1;
    }
    return BlockInputBuffer[static_cast<std::size_t>(PlainLz.inPos++)];
}

std::int32_t readBit() {
    const std::int32_t bit = PlainLz.ctrlWord & 1;
    if (--PlainLz.ctrlBitsLeft == 0) {
        PlainLz.ctrlWord = readWord();
        PlainLz.ctrlBitsLeft = 16;
    } else {
        PlainLz.ctrlWord = static_cast<std::uint16_t>(PlainLz.ctrlWord >> 1);
    }
    return bit;
}

// Byte by byte, ascending; an index before the output reads ScratchBuffer's
// end, the bytes just before DecodeBuffer in the work region.
void copyBack(std::int32_t offset, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t source = PlainLz.outCount + offset;
        DecodeBuffer[static_cast<std::size_t>(PlainLz.outCount)] =
            source < 0 ? ScratchBuffer[static_cast<std::size_t>(WorkBufferSize + source)]
                       : DecodeBuffer[static_cast<std::size_t>(source)];
        ++PlainLz.outCount;
    }
}

std::int32_t lzExpandPlain(std::int32_t storedSize) {
    PlainLz = PlainLzState{.inPos = 0,
                           .inCount = std::clamp(storedSize, 0, BlockInputSize),
                           .ctrlWord = 0,
                           .ctrlBitsLeft = 16,
                           .outCount = 0,
                           .damaged = false};
    PlainLz.ctrlWord = readWord();
    for (;;) {
        const std::int32_t isLiteral = readBit();
        if (PlainLz.damaged) {
            break;
        }
        if (isLiteral != 0) {
            if (PlainLz.outCount >= LzOutputLimit) {
                PlainLz.damaged = true;
                break;
            }
            DecodeBuffer[static_cast<std::size_t>(PlainLz.outCount++)] =
                static_cast<std::uint8_t>(readByte());
            continue;
        }
        const std::int32_t isLong = readBit();
        if (PlainLz.damaged) {
            break;
        }
        std::int32_t offset = 0;
        std::int32_t count = 0;
        if (isLong == 0) {
            const std::int32_t a = readBit();
            if (PlainLz.damaged) {
                break;
            }
            const std::int32_t b = readBit();
            if (PlainLz.damaged) {
                break;
            }
            count = 2 * a + b + 3;
            offset = readByte() | -256;
        } else {
            const std::int32_t b1 = readByte();
            const std::int32_t b2 = readByte();
            offset = b1 | ((b2 & 0xF0) * 16 - 4096);
            count = (b2 & 0x0F) + 3;
            if ((b2 & 0x0F) == 0) {
                const std::int32_t e = readByte();
                if (e == 0) {
                    break;
                }
                count = e + 1;
            }
        }
        const std::int32_t room = LzOutputLimit - PlainLz.outCount;
        if (count > room) {
            copyBack(offset, room);
            PlainLz.damaged = true;
            break;
        }
        copyBack(offset, count);
    }
    return PlainLz.outCount;
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

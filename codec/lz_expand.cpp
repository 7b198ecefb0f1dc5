#include "codec/lz_expand.h"

#include <algorithm>
#include <cstring>

#include "codec/work_extent.h"

LzState Lz;

std::uint16_t lzReadWord() {
    if (Lz.inPos > BlockInputSize - 2) {
        Lz.damaged = true;
        return 0;
    }
    const std::uint32_t low = BlockInputBuffer[static_cast<std::size_t>(Lz.inPos)];
    const std::uint32_t high = BlockInputBuffer[static_cast<std::size_t>(Lz.inPos) + 1];
    Lz.inPos += 2;
    return static_cast<std::uint16_t>(low | high << 8);
}

std::int32_t lzReadByte() {
    if (Lz.inPos >= Lz.inCount) {
        return -1;
    }
    return BlockInputBuffer[static_cast<std::size_t>(Lz.inPos++)];
}

std::int32_t lzReadBit() {
    const std::int32_t bit = Lz.ctrlWord & 1;
    if (--Lz.ctrlBitsLeft == 0) {
        Lz.ctrlWord = lzReadWord();
        Lz.ctrlBitsLeft = 16;
    } else {
        Lz.ctrlWord = static_cast<std::uint16_t>(Lz.ctrlWord >> 1);
    }
    return bit;
}

namespace {

// Copies count bytes from offset (-4096 .. -1) bytes back. Sources before the
// output lie in ScratchBuffer, the first half of the same region.
void copyBack(std::int32_t offset, std::int32_t count) {
    std::uint8_t* const dst = WorkRegion.data() + WorkBufferSize + Lz.outCount;
    const std::uint8_t* const src = dst + offset;
    if (count <= -offset) {
        std::memcpy(dst, src, static_cast<std::size_t>(count));
    } else {
        // The source runs into bytes this copy writes: byte by byte, ascending.
        for (std::int32_t i = 0; i < count; ++i) {
            dst[i] = src[i];
        }
    }
    Lz.outCount += count;
}

} // namespace

std::int32_t lzExpand(std::int32_t storedSize) {
    Lz = LzState{.inPos = 0,
                 .inCount = std::clamp(storedSize, 0, BlockInputSize),
                 .ctrlWord = 0,
                 .ctrlBitsLeft = 16,
                 .outCount = 0,
                 .damaged = false};
    Lz.ctrlWord = lzReadWord();

    // Every flag bit is checked for a failed control word reload: the token
    // that took the bit is then not decoded.
    for (;;) {
        const std::int32_t isLiteral = lzReadBit();
        if (Lz.damaged) {
            break;
        }
        if (isLiteral != 0) {
            if (Lz.outCount >= LzOutputLimit) {
                Lz.damaged = true;
                break;
            }
            // A read past the stored bytes gives -1, stored as 0xFF.
            DecodeBuffer[static_cast<std::size_t>(Lz.outCount++)] =
                static_cast<std::uint8_t>(lzReadByte());
            continue;
        }

        const std::int32_t isLong = lzReadBit();
        if (Lz.damaged) {
            break;
        }
        std::int32_t offset = 0;
        std::int32_t count = 0;
        if (isLong == 0) {
            const std::int32_t a = lzReadBit();
            if (Lz.damaged) {
                break;
            }
            const std::int32_t b = lzReadBit();
            if (Lz.damaged) {
                break;
            }
            count = 2 * a + b + 3;
            offset = lzReadByte() | -256; // -1 stays -1
        } else {
            const std::int32_t b1 = lzReadByte();
            const std::int32_t b2 = lzReadByte();
            offset = b1 | ((b2 & 0xF0) * 16 - 4096);
            count = (b2 & 0x0F) + 3;
            if ((b2 & 0x0F) == 0) {
                const std::int32_t e = lzReadByte();
                if (e == 0) {
                    break; // end marker; b1 and b2's high nibble are ignored
                }
                count = e + 1; // 0 for a read past the stored bytes
            }
        }

        const std::int32_t room = LzOutputLimit - Lz.outCount;
        if (count > room) {
            copyBack(offset, room);
            Lz.damaged = true;
            break;
        }
        copyBack(offset, count);
    }
    noteDecodeWritten(Lz.outCount);
    return Lz.outCount;
}

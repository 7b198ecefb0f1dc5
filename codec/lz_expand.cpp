#include "codec/lz_expand.h"

#include <algorithm>
#include <bit>
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

// The stage's state while it runs. Kept in locals rather than in Lz: every
// byte stored to DecodeBuffer could alias a global, which would force each
// field back to memory after every output byte.
struct LzRun {
    const std::uint8_t* in;
    std::int32_t inPos;
    std::int32_t inCount;
    std::uint32_t ctrlWord;
    std::uint32_t ctrlBitsLeft;
    bool damaged;
};

// lzReadBit on the local state. False when the control word reload would
// read past the end of BlockInputBuffer: the stage then stops without
// decoding the token that took the bit.
inline bool takeBit(LzRun& run, std::uint32_t& bit) {
    bit = run.ctrlWord & 1;
    if (--run.ctrlBitsLeft == 0) {
        run.ctrlBitsLeft = 16;
        if (run.inPos > BlockInputSize - 2) {
            run.ctrlWord = 0;
            run.damaged = true;
            return false;
        }
        run.ctrlWord = run.in[run.inPos] | static_cast<std::uint32_t>(run.in[run.inPos + 1]) << 8;
        run.inPos += 2;
    } else {
        run.ctrlWord >>= 1;
    }
    return true;
}

// lzReadByte on the local state.
inline std::int32_t takeByte(LzRun& run) {
    if (run.inPos >= run.inCount) {
        return -1;
    }
    return run.in[run.inPos++];
}

// Copies count bytes from offset (-4096 .. -1) bytes back to dst. Sources
// before the output lie in ScratchBuffer, the first half of the same region.
inline void copyBack(std::uint8_t* dst, std::int32_t offset, std::int32_t count) {
    const std::uint8_t* const src = dst + offset;
    if (offset == -1) {
        // The byte before, repeated: what the byte-by-byte copy gives.
        std::memset(dst, *src, static_cast<std::size_t>(count));
    } else if (count <= -offset) {
        std::memcpy(dst, src, static_cast<std::size_t>(count));
    } else {
        // The source runs into bytes this copy writes: byte by byte, ascending.
        for (std::int32_t i = 0; i < count; ++i) {
            dst[i] = src[i];
        }
    }
}

} // namespace

std::int32_t lzExpand(std::int32_t storedSize) {
    LzRun run{.in = BlockInputBuffer.data(),
              .inPos = 2,
              .inCount = std::clamp(storedSize, 0, BlockInputSize),
              .ctrlWord = BlockInputBuffer[0] | static_cast<std::uint32_t>(BlockInputBuffer[1])
                                                    << 8,
              .ctrlBitsLeft = 16,
              .damaged = false};
    std::uint8_t* const out = DecodeBuffer.data();
    std::int32_t outCount = 0;

    // Every flag bit is checked for a failed control word reload: the token
    // that took the bit is then not decoded.
    for (;;) {
        // Once the stored bytes are used up, every operand reads -1, and
        // every flag bit from a zero control word (the zero fill after the
        // stored bytes) is 0: each token is then a short back-reference of
        // count 3 to the byte before, three more copies of the last byte. A
        // stream that ran out lands here for the rest of its way to the
        // output limit, so the tokens that only zero flags make up go at
        // once. The last zero word's final flag is left to the ordinary path,
        // which makes the reload after it (past the input, or a word that is
        // not zero) exactly as a token at a time would.
        if (run.inPos >= run.inCount && run.ctrlWord == 0) {
            const std::int32_t tokensThatFit = (LzOutputLimit - outCount) / 3;
            std::int64_t zeroBits = run.ctrlBitsLeft;
            for (std::int32_t at = run.inPos;
                 zeroBits <= 4 * std::int64_t{tokensThatFit} && at <= BlockInputSize - 2 &&
                 run.in[at] == 0 && run.in[at + 1] == 0;
                 at += 2) {
                zeroBits += 16;
            }
            const auto tokens = static_cast<std::int32_t>(
                std::min<std::int64_t>(tokensThatFit, (zeroBits - 1) / 4));
            if (tokens > 0) {
                std::memset(out + outCount, out[outCount - 1],
                            3 * static_cast<std::size_t>(tokens));
                outCount += 3 * tokens;
                const auto flagsTaken = 4 * static_cast<std::uint32_t>(tokens);
                if (flagsTaken < run.ctrlBitsLeft) {
                    run.ctrlBitsLeft -= flagsTaken;
                } else {
                    const std::uint32_t intoLaterWords = flagsTaken - run.ctrlBitsLeft;
                    run.inPos += 2 * static_cast<std::int32_t>(1 + intoLaterWords / 16);
                    run.ctrlBitsLeft = 16 - intoLaterWords % 16;
                }
                continue;
            }
        }

        // A run of literals whose flags all lie in the current control word,
        // short of its last flag (taking that one reloads the word between
        // two literal bytes), with all its bytes stored and room for them:
        // the bytes follow each other in the input and go out as one copy.
        const auto literals = std::min<std::uint32_t>(
            static_cast<std::uint32_t>(std::countr_one(run.ctrlWord)), run.ctrlBitsLeft - 1);
        if (literals > 1 && run.inPos + static_cast<std::int32_t>(literals) <= run.inCount &&
            outCount + static_cast<std::int32_t>(literals) <= LzOutputLimit) {
            std::memcpy(out + outCount, run.in + run.inPos, literals);
            run.inPos += static_cast<std::int32_t>(literals);
            outCount += static_cast<std::int32_t>(literals);
            run.ctrlWord >>= literals;
            run.ctrlBitsLeft -= literals;
        }

        std::uint32_t isLiteral = 0;
        if (!takeBit(run, isLiteral)) {
            break;
        }
        if (isLiteral != 0) {
            if (outCount >= LzOutputLimit) {
                run.damaged = true;
                break;
            }
            // A read past the stored bytes gives -1, stored as 0xFF.
            out[outCount++] = static_cast<std::uint8_t>(takeByte(run));
            continue;
        }

        std::uint32_t isLong = 0;
        if (!takeBit(run, isLong)) {
            break;
        }
        std::int32_t offset = 0;
        std::int32_t count = 0;
        if (isLong == 0) {
            std::uint32_t a = 0;
            std::uint32_t b = 0;
            if (!takeBit(run, a) || !takeBit(run, b)) {
                break;
            }
            count = static_cast<std::int32_t>(2 * a + b + 3);
            offset = takeByte(run) | -256; // -1 stays -1
        } else {
            const std::int32_t b1 = takeByte(run);
            const std::int32_t b2 = takeByte(run);
            offset = b1 | ((b2 & 0xF0) * 16 - 4096);
            count = (b2 & 0x0F) + 3;
            if ((b2 & 0x0F) == 0) {
                const std::int32_t e = takeByte(run);
                if (e == 0) {
                    break; // end marker; b1 and b2's high nibble are ignored
                }
                count = e + 1; // 0 for a read past the stored bytes
            }
        }

        const std::int32_t room = LzOutputLimit - outCount;
        if (count > room) {
            copyBack(out + outCount, offset, room);
            outCount += room;
            run.damaged = true;
            break;
        }
        copyBack(out + outCount, offset, count);
        outCount += count;
    }

    Lz = LzState{.inPos = run.inPos,
                 .inCount = run.inCount,
                 .ctrlWord = static_cast<std::uint16_t>(run.ctrlWord),
                 .ctrlBitsLeft = static_cast<std::uint16_t>(run.ctrlBitsLeft),
                 .outCount = outCount,
                 .damaged = run.damaged};
    noteDecodeWritten(outCount);
    return outCount;
}

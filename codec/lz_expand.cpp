#include "codec/lz_expand.h"

#include <algorithm>
#include <bit>
#include <cstring>

// The invariants below are checked in debug builds and in every sanitizer
// build, also those built with NDEBUG (the fuzz targets).
#if defined(__SANITIZE_ADDRESS__)
#undef NDEBUG
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#undef NDEBUG
#endif
#endif
#include <cassert>

LzState Lz;

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
    std::uint8_t* out;
    std::int32_t outCount;
    bool damaged;
};

// What keeps every read and write of a token inside the buffers, true
// between any two tokens.
inline void checkInvariants(const LzRun& run) {
    assert(run.outCount >= 0 && run.outCount <= LzOutputLimit);
    assert(run.ctrlBitsLeft >= 1 && run.ctrlBitsLeft <= 16);
    assert(run.inPos >= 2 && run.inPos <= BlockInputSize);
    static_cast<void>(run);
}

// The fast loop runs while one more literal run (at most 15 literals) and
// one token (a control word and at most three operand bytes; at most 256
// bytes out) can neither read past the stored bytes nor reach the output
// limit; it then checks none of them. The careful loop checks everything.
constexpr std::int32_t FastInputMargin = 15 + 2 + 3;
constexpr std::int32_t FastOutputMargin = 15 + 256;

inline bool farFromTheLimits(const LzRun& run) {
    return run.inPos <= run.inCount - FastInputMargin &&
           run.outCount <= LzOutputLimit - FastOutputMargin;
}

// Takes the next flag bit and reloads the control word the moment its 16th
// bit is taken. Careful: false when that reload would read past the end of
// BlockInputBuffer; the stage then stops without decoding the token that
// took the bit.
template <bool Careful> inline bool takeBit(LzRun& run, std::uint32_t& bit) {
    bit = run.ctrlWord & 1;
    if (--run.ctrlBitsLeft == 0) {
        run.ctrlBitsLeft = 16;
        if (Careful && run.inPos > BlockInputSize - 2) {
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

// The stored byte at inPos (0 .. 255). Careful: -1 once inPos has reached
// inCount, without moving on.
template <bool Careful> inline std::int32_t takeByte(LzRun& run) {
    if (Careful && run.inPos >= run.inCount) {
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

// Once the stored bytes are used up, every operand reads -1, and every flag
// bit from a zero control word (the zero fill after the stored bytes) is 0:
// each token is then a short back-reference of count 3 to the byte before,
// three more copies of the last byte. A stream that ran out lands here for
// the rest of its way to the output limit, so the tokens that only zero
// flags make up go at once. The last zero word's final flag is left to the
// token step, which makes the reload after it (past the input, or a word
// that is not zero) exactly as a token at a time would. True when it took
// any tokens.
inline bool zeroRun(LzRun& run) {
    if (run.inPos < run.inCount || run.ctrlWord != 0) {
        return false;
    }
    const std::int32_t tokensThatFit = (LzOutputLimit - run.outCount) / 3;
    std::int64_t zeroBits = run.ctrlBitsLeft;
    for (std::int32_t at = run.inPos;
         zeroBits <= 4 * std::int64_t{tokensThatFit} && at <= BlockInputSize - 2 &&
         run.in[at] == 0 && run.in[at + 1] == 0;
         at += 2) {
        zeroBits += 16;
    }
    const auto tokens =
        static_cast<std::int32_t>(std::min<std::int64_t>(tokensThatFit, (zeroBits - 1) / 4));
    if (tokens <= 0) {
        return false;
    }
    std::memset(run.out + run.outCount, run.out[run.outCount - 1],
                3 * static_cast<std::size_t>(tokens));
    run.outCount += 3 * tokens;
    const auto flagsTaken = 4 * static_cast<std::uint32_t>(tokens);
    if (flagsTaken < run.ctrlBitsLeft) {
        run.ctrlBitsLeft -= flagsTaken;
    } else {
        const std::uint32_t intoLaterWords = flagsTaken - run.ctrlBitsLeft;
        run.inPos += 2 * static_cast<std::int32_t>(1 + intoLaterWords / 16);
        run.ctrlBitsLeft = 16 - intoLaterWords % 16;
    }
    return true;
}

// A run of literals whose flags all lie in the current control word, short
// of its last flag (taking that one reloads the word between two literal
// bytes), with all its bytes stored and room for them: the bytes follow each
// other in the input and go out as one copy.
template <bool Careful> inline void literalRun(LzRun& run) {
    const auto literals = std::min<std::uint32_t>(
        static_cast<std::uint32_t>(std::countr_one(run.ctrlWord)), run.ctrlBitsLeft - 1);
    const auto count = static_cast<std::int32_t>(literals);
    if (count > 1 &&
        (!Careful || (run.inPos + count <= run.inCount && run.outCount + count <= LzOutputLimit))) {
        std::memcpy(run.out + run.outCount, run.in + run.inPos, literals);
        run.inPos += count;
        run.outCount += count;
        run.ctrlWord >>= literals;
        run.ctrlBitsLeft -= literals;
    }
}

// Decodes one token. False when the stage ends: at the end marker, or
// (careful only) when a control word or the output runs out.
template <bool Careful> inline bool token(LzRun& run) {
    std::uint32_t isLiteral = 0;
    if (!takeBit<Careful>(run, isLiteral)) {
        return false;
    }
    if (isLiteral != 0) {
        if (Careful && run.outCount >= LzOutputLimit) {
            run.damaged = true;
            return false;
        }
        // A read past the stored bytes gives -1, stored as 0xFF.
        run.out[run.outCount++] = static_cast<std::uint8_t>(takeByte<Careful>(run));
        return true;
    }

    std::uint32_t isLong = 0;
    if (!takeBit<Careful>(run, isLong)) {
        return false;
    }
    std::int32_t offset = 0;
    std::int32_t count = 0;
    if (isLong == 0) {
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        if (!takeBit<Careful>(run, a) || !takeBit<Careful>(run, b)) {
            return false;
        }
        count = static_cast<std::int32_t>(2 * a + b + 3);
        offset = takeByte<Careful>(run) | -256; // -1 stays -1
    } else {
        const std::int32_t b1 = takeByte<Careful>(run);
        const std::int32_t b2 = takeByte<Careful>(run);
        offset = b1 | ((b2 & 0xF0) * 16 - 4096);
        count = (b2 & 0x0F) + 3;
        if ((b2 & 0x0F) == 0) {
            const std::int32_t e = takeByte<Careful>(run);
            if (e == 0) {
                return false; // end marker; b1 and b2's high nibble are ignored
            }
            count = e + 1; // 0 for a read past the stored bytes
        }
    }

    const std::int32_t room = LzOutputLimit - run.outCount;
    if (Careful && count > room) {
        copyBack(run.out + run.outCount, offset, room);
        run.outCount += room;
        run.damaged = true;
        return false;
    }
    copyBack(run.out + run.outCount, offset, count);
    run.outCount += count;
    return true;
}

} // namespace

std::int32_t lzExpand(std::int32_t storedSize) {
    LzRun run{.in = BlockInputBuffer.data(),
              .inPos = 2,
              .inCount = std::clamp(storedSize, 0, BlockInputSize),
              .ctrlWord = BlockInputBuffer[0] | static_cast<std::uint32_t>(BlockInputBuffer[1])
                                                    << 8,
              .ctrlBitsLeft = 16,
              .out = DecodeBuffer.data(),
              .outCount = 0,
              .damaged = false};

    // Most of a block; then the tokens near the end of the stored bytes or
    // of the output, and whatever follows when the stored bytes run out.
    bool going = true;
    while (going && farFromTheLimits(run)) {
        checkInvariants(run);
        literalRun<false>(run);
        going = token<false>(run);
    }
    while (going) {
        checkInvariants(run);
        if (zeroRun(run)) {
            continue;
        }
        literalRun<true>(run);
        going = token<true>(run);
    }
    checkInvariants(run);

    Lz = LzState{.inPos = run.inPos,
                 .inCount = run.inCount,
                 .ctrlWord = static_cast<std::uint16_t>(run.ctrlWord),
                 .ctrlBitsLeft = static_cast<std::uint16_t>(run.ctrlBitsLeft),
                 .outCount = run.outCount,
                 .damaged = run.damaged};
    return run.outCount;
}

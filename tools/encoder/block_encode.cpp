#include "tools/encoder/block_encode.h"

#include "tools/encoder/lz_compress.h"

namespace {

constexpr std::uint8_t lowUp(std::uint8_t x) {
    return static_cast<std::uint8_t>((x & 0x0F) << 4);
}
constexpr std::uint8_t highDown(std::uint8_t x) {
    return static_cast<std::uint8_t>(x >> 4);
}
constexpr std::uint8_t join(std::uint32_t high, std::uint32_t low) {
    return static_cast<std::uint8_t>((high & 0xF0) | (low & 0x0F));
}

// Triples from byte 0: bytes 3k, 3k+1, 3k+2 carry values 2k and 2k+1, the
// nibble byte T[n+k] giving the left value's low bits and T[n+k+1] the right
// one's; bytes 8190 and 8191 carry value 5460 and the high nibble of T[n].
StreamBlock unpackCodec10(const StreamBlock& s) {
    constexpr std::int32_t n = BlockValues;
    StreamBlock t{};
    for (std::int32_t k = 0; k < BlockHalf; ++k) {
        const std::uint8_t b0 = s[3 * k];
        const std::uint8_t b1 = s[3 * k + 1];
        const std::uint8_t b2 = s[3 * k + 2];
        t[2 * k] = join(lowUp(b1), highDown(b0));
        t[2 * k + 1] = join(b1, highDown(b2));
        t[n + k] = join(t[n + k], b0);
        t[n + k + 1] = join(lowUp(b2), t[n + k + 1]);
    }
    const std::uint8_t b0 = s[BlockBytes - 2];
    const std::uint8_t b1 = s[BlockBytes - 1];
    t[n - 1] = join(lowUp(b1), highDown(b0));
    t[n + BlockHalf] = join(t[n + BlockHalf], b0);
    t[n] = join(b1, t[n]);
    return t;
}

// Triples from byte 2; bytes 0 and 1 complete the triple begun in the block
// before. Both values of triple m take their low bits from T[n+m+1].
StreamBlock unpackCodec11(const StreamBlock& s) {
    constexpr std::int32_t n = BlockValues;
    StreamBlock t{};
    t[0] = join(s[0], highDown(s[1]));
    t[n] = join(lowUp(s[0]), s[1]);
    for (std::int32_t m = 0; m < BlockHalf; ++m) {
        const std::uint8_t b0 = s[3 * m + 2];
        const std::uint8_t b1 = s[3 * m + 3];
        const std::uint8_t b2 = s[3 * m + 4];
        t[2 * m + 1] = join(lowUp(b1), highDown(b0));
        t[2 * m + 2] = join(b1, highDown(b2));
        t[n + m + 1] = join(lowUp(b0), b2);
    }
    return t;
}

// Triples from byte 1; byte 0 and byte 8191 are whole bytes of T.
StreamBlock unpackCodec12(const StreamBlock& s) {
    constexpr std::int32_t n = BlockValues;
    StreamBlock t{};
    t[BlockBytes - 1] = s[0];
    t[n - 1] = s[BlockBytes - 1];
    for (std::int32_t m = 0; m < BlockHalf; ++m) {
        const std::uint8_t b0 = s[3 * m + 1];
        const std::uint8_t b1 = s[3 * m + 2];
        const std::uint8_t b2 = s[3 * m + 3];
        t[2 * m] = join(lowUp(b1), highDown(b0));
        t[2 * m + 1] = join(b1, highDown(b2));
        t[n + m] = join(lowUp(b2), b0);
    }
    return t;
}

} // namespace

std::int32_t codecForPhase(std::int32_t phase) {
    constexpr std::array<std::int32_t, 3> Codecs{10, 12, 11};
    return Codecs[static_cast<std::size_t>(phase % 3)];
}

StreamBlock unpackBlock(std::int32_t codec, const StreamBlock& stream) {
    if (codec == 11) {
        return unpackCodec11(stream);
    }
    if (codec == 12) {
        return unpackCodec12(stream);
    }
    return unpackCodec10(stream);
}

StreamBlock deinterleaveHalves(const StreamBlock& interleaved) {
    StreamBlock d = interleaved;
    for (std::int32_t j = 0; j < BlockHalf; ++j) {
        d[j] = interleaved[2 * j];
        d[BlockHalf + j] = interleaved[2 * j + 1];
    }
    return d;
}

StreamBlock differenceBytes(const StreamBlock& summed) {
    StreamBlock y{};
    y[0] = summed[0];
    y[1] = static_cast<std::uint8_t>(summed[1] - summed[0]);
    for (std::size_t i = 2; i < summed.size(); ++i) {
        y[i] = static_cast<std::uint8_t>(summed[i] - 2 * summed[i - 1] + summed[i - 2]);
    }
    return y;
}

std::vector<std::uint8_t> encodeBlock(std::int32_t codec, const StreamBlock& stream) {
    const StreamBlock y = differenceBytes(deinterleaveHalves(unpackBlock(codec, stream)));
    return lzCompress(y);
}

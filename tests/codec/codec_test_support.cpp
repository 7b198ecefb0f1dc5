#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "codec/decoders.h"
#include "codec/packing.h"

void clearAllBuffers() {
    BlockInputBuffer.fill(0);
    WorkRegion.fill(0);
}

void loadStored(const Bytes& stored) {
    BlockInputBuffer.fill(0);
    std::copy(stored.begin(), stored.end(), BlockInputBuffer.begin());
}

Bytes decoded(std::int32_t from, std::int32_t to) {
    return Bytes(DecodeBuffer.begin() + from, DecodeBuffer.begin() + to);
}

Bytes scratch(std::int32_t from, std::int32_t to) {
    return Bytes(ScratchBuffer.begin() + from, ScratchBuffer.begin() + to);
}

namespace {

bool zeroIn(std::span<std::uint8_t, WorkBufferSize> buffer, std::int32_t from, std::int32_t to) {
    static const std::array<std::uint8_t, WorkBufferSize> Zeros{};
    to = std::min(to, WorkBufferSize);
    if (from >= to) {
        return true;
    }
    return std::memcmp(buffer.data() + from, Zeros.data(), static_cast<std::size_t>(to - from)) ==
           0;
}

void putBit(StoredStream& stream, std::int32_t bit) {
    if (bit != 0) {
        const std::size_t byte = stream.wordPos + (stream.bitsUsed >= 8 ? 1 : 0);
        stream.bytes[byte] =
            static_cast<std::uint8_t>(stream.bytes[byte] | 1 << (stream.bitsUsed % 8));
    }
    if (++stream.bitsUsed == 16) {
        stream.wordPos = stream.bytes.size();
        stream.bytes.push_back(0);
        stream.bytes.push_back(0);
        stream.bitsUsed = 0;
    }
}

void expandCopy(StoredStream& stream, std::int32_t count, std::int32_t offset) {
    for (std::int32_t i = 0; i < count; ++i) {
        const auto source = static_cast<std::int64_t>(stream.expanded.size()) + offset;
        stream.expanded.push_back(source < 0 ? 0
                                             : stream.expanded[static_cast<std::size_t>(source)]);
    }
}

void putLongOperands(StoredStream& stream, std::int32_t offset, std::int32_t countField) {
    if (offset < -4096 || offset > -1) {
        throw std::invalid_argument("long offset out of range");
    }
    const std::int32_t distance = offset + 4096;
    putBit(stream, 0);
    putBit(stream, 1);
    stream.bytes.push_back(static_cast<std::uint8_t>(distance & 0xFF));
    stream.bytes.push_back(static_cast<std::uint8_t>((distance >> 8) << 4 | countField));
}

} // namespace

bool decodeZeroFrom(std::int32_t from, std::int32_t to) {
    return zeroIn(DecodeBuffer, from, to);
}

bool scratchZeroFrom(std::int32_t from, std::int32_t to) {
    return zeroIn(ScratchBuffer, from, to);
}

void putLiteral(StoredStream& stream, std::uint8_t value) {
    putBit(stream, 1);
    stream.bytes.push_back(value);
    stream.expanded.push_back(value);
}

void putShortRef(StoredStream& stream, std::int32_t count, std::int32_t offset) {
    if (count < 3 || count > 6 || offset < -256 || offset > -1) {
        throw std::invalid_argument("short reference out of range");
    }
    putBit(stream, 0);
    putBit(stream, 0);
    putBit(stream, (count - 3) >> 1);
    putBit(stream, (count - 3) & 1);
    stream.bytes.push_back(static_cast<std::uint8_t>(offset + 256));
    expandCopy(stream, count, offset);
}

void putLongRef(StoredStream& stream, std::int32_t count, std::int32_t offset) {
    if (count < 4 || count > 18) {
        throw std::invalid_argument("long count out of range");
    }
    putLongOperands(stream, offset, count - 3);
    expandCopy(stream, count, offset);
}

void putExtendedRef(StoredStream& stream, std::int32_t count, std::int32_t offset) {
    if (count < 2 || count > 256) {
        throw std::invalid_argument("extended count out of range");
    }
    putLongOperands(stream, offset, 0);
    stream.bytes.push_back(static_cast<std::uint8_t>(count - 1));
    expandCopy(stream, count, offset);
}

void putEndMarker(StoredStream& stream, std::uint8_t b1, std::uint8_t b2High) {
    putBit(stream, 0);
    putBit(stream, 1);
    stream.bytes.push_back(b1);
    stream.bytes.push_back(static_cast<std::uint8_t>(b2High & 0xF0));
    stream.bytes.push_back(0);
}

Bytes referenceSums(const Bytes& lzOutput) {
    Bytes sums(lzOutput.size());
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (i == 0) {
            sums[i] = lzOutput[0];
        } else if (i == 1) {
            sums[i] = static_cast<std::uint8_t>(lzOutput[0] + lzOutput[1]);
        } else {
            sums[i] = static_cast<std::uint8_t>(lzOutput[i] + 2 * sums[i - 1] - sums[i - 2]);
        }
    }
    return sums;
}

Bytes referenceTable(const Bytes& sums) {
    const auto length = static_cast<std::int32_t>(sums.size());
    const std::int32_t half = (2 * length / 3) / 2;
    Bytes table(sums.size() + 1, 0);
    for (std::int32_t k = 0; k < length; ++k) {
        if (k < 2 * half) {
            table[static_cast<std::size_t>(k)] =
                sums[static_cast<std::size_t>(k % 2 == 0 ? k / 2 : half + k / 2)];
        } else {
            table[static_cast<std::size_t>(k)] = sums[static_cast<std::size_t>(k)];
        }
    }
    return table;
}

namespace {

// Writes the bytes first .. last of the triple (b0 b1 b2) that carries left
// and right, where b0 lies at index `at` of out.
void placeTriple(Bytes& out, std::int32_t at, std::int32_t left, std::int32_t right,
                 std::int32_t first, std::int32_t last) {
    const std::uint8_t triple[3] = {
        static_cast<std::uint8_t>(left & 0xFF),
        static_cast<std::uint8_t>((left >> 8) | (right >> 8) << 4),
        static_cast<std::uint8_t>(right & 0xFF),
    };
    for (std::int32_t b = first; b <= last; ++b) {
        out.at(static_cast<std::size_t>(at + b)) = triple[b];
    }
}

std::int32_t at(const Bytes& table, std::int32_t index) {
    return table.at(static_cast<std::size_t>(index));
}

} // namespace

Bytes referencePack10(const Bytes& table, const Bytes& priorD) {
    const auto length = static_cast<std::int32_t>(table.size()) - 1;
    const std::int32_t n = 2 * length / 3;
    const std::int32_t half = n / 2;
    Bytes out(table.size(), 0);
    // Pair k: left = T[2k] and the low nibble of T[n + k]; right = T[2k + 1]
    // and the high nibble of T[n + k + 1].
    for (std::int32_t k = 0; k < half; ++k) {
        placeTriple(out, 3 * k, at(table, 2 * k) * 16 + (at(table, n + k) & 0x0F),
                    at(table, 2 * k + 1) * 16 + (at(table, n + k + 1) >> 4), 0, 2);
    }
    if (n % 2 == 1) {
        // A half triple: the top of its right value is T[n]'s high nibble.
        placeTriple(out, 3 * half, at(table, n - 1) * 16 + (at(table, n + half) & 0x0F),
                    (at(table, n) >> 4) << 8, 0, 1);
    } else {
        // T[n]'s high nibble lands on top of the last right value's bits 4..7.
        out.at(static_cast<std::size_t>(3 * half - 1)) |=
            static_cast<std::uint8_t>(at(table, n) & 0xF0);
    }
    if (length % 3 == 1) {
        out.at(static_cast<std::size_t>(length - 1)) =
            priorD.at(static_cast<std::size_t>(length - 1));
    }
    return out;
}

Bytes referencePack11(const Bytes& table) {
    const auto length = static_cast<std::int32_t>(table.size()) - 1;
    const std::int32_t n = 2 * length / 3;
    // Nibble j of the run from T[n], high nibble first.
    const auto nibble = [&](std::int32_t j) {
        const std::int32_t byte = at(table, n + j / 2);
        return j % 2 == 0 ? byte >> 4 : byte & 0x0F;
    };
    const auto value = [&](std::int32_t k) { return at(table, k) * 16 + nibble(k + 1); };
    Bytes out(table.size(), 0);
    // Bytes 0 and 1 are b1 and b2 of a triple begun before the block.
    placeTriple(out, -1, nibble(0) << 8, value(0), 1, 2);
    for (std::int32_t m = 0; 2 * m + 1 < n; ++m) {
        if (2 * m + 2 < n) {
            placeTriple(out, 3 * m + 2, value(2 * m + 1), value(2 * m + 2), 0, 2);
        } else {
            placeTriple(out, 3 * m + 2, value(2 * m + 1), 0, 0, 1);
        }
    }
    return out;
}

Bytes referencePack12(const Bytes& table) {
    const auto length = static_cast<std::int32_t>(table.size()) - 1;
    const std::int32_t n = 2 * length / 3;
    Bytes out(table.size(), 0);
    out[0] = table.at(static_cast<std::size_t>(length - 1));
    for (std::int32_t m = 0; 2 * m + 1 <= n - 2; ++m) {
        placeTriple(out, 3 * m + 1, at(table, 2 * m) * 16 + (at(table, n + m) & 0x0F),
                    at(table, 2 * m + 1) * 16 + (at(table, n + m) >> 4), 0, 2);
    }
    if (n % 2 == 0) {
        // The last triple gets its left value only.
        const std::int32_t m = n / 2 - 1;
        placeTriple(out, 3 * m + 1, at(table, 2 * m) * 16 + (at(table, n + m) & 0x0F), 0, 0, 1);
    }
    if (length % 3 != 0) {
        out.at(static_cast<std::size_t>(length - 1)) = table.at(static_cast<std::size_t>(n - 1));
    }
    return out;
}

std::uint32_t nextRandom(TestRandom& random) {
    // xorshift64*
    random.state ^= random.state >> 12;
    random.state ^= random.state << 25;
    random.state ^= random.state >> 27;
    return static_cast<std::uint32_t>((random.state * 2685821657736338717ULL) >> 32);
}

std::uint8_t randomByte(TestRandom& random) {
    return static_cast<std::uint8_t>(nextRandom(random) >> 24);
}

Bytes randomBytes(TestRandom& random, std::size_t count) {
    Bytes bytes(count);
    for (auto& byte : bytes) {
        byte = randomByte(random);
    }
    return bytes;
}

StoredStream randomStream(TestRandom& random, std::int32_t length) {
    StoredStream stream;
    while (static_cast<std::int32_t>(stream.expanded.size()) < length) {
        const std::int32_t left = length - static_cast<std::int32_t>(stream.expanded.size());
        const std::uint32_t kind = nextRandom(random) % 4;
        if (kind == 0 || left < 2) {
            putLiteral(stream, randomByte(random));
        } else if (kind == 1 && left >= 3) {
            putShortRef(
                stream,
                3 + static_cast<std::int32_t>(nextRandom(random) %
                                              static_cast<std::uint32_t>(std::min(left - 2, 4))),
                -1 - static_cast<std::int32_t>(nextRandom(random) % 256));
        } else if (kind == 2 && left >= 4) {
            putLongRef(
                stream,
                4 + static_cast<std::int32_t>(nextRandom(random) %
                                              static_cast<std::uint32_t>(std::min(left - 3, 15))),
                -1 - static_cast<std::int32_t>(nextRandom(random) % 4096));
        } else {
            putExtendedRef(
                stream,
                2 + static_cast<std::int32_t>(nextRandom(random) %
                                              static_cast<std::uint32_t>(std::min(left - 1, 255))),
                -1 - static_cast<std::int32_t>(nextRandom(random) % 4096));
        }
    }
    putEndMarker(stream);
    return stream;
}

std::int32_t runDecoder(std::int32_t codec, std::int32_t storedSize) {
    switch (codec) {
    case 10:
        return decodeCodec10(storedSize);
    case 11:
        return decodeCodec11(storedSize);
    case 12:
        return decodeCodec12(storedSize);
    default:
        throw std::invalid_argument("no such codec");
    }
}

void runPacking(std::int32_t codec, std::int32_t length) {
    switch (codec) {
    case 10:
        packCodec10(length);
        break;
    case 11:
        packCodec11(length);
        break;
    case 12:
        packCodec12(length);
        break;
    default:
        throw std::invalid_argument("no such codec");
    }
}

void loadPreludeState(const Bytes& table) {
    clearAllBuffers();
    const auto length = static_cast<std::int32_t>(table.size());
    const std::int32_t half = (2 * length / 3) / 2;
    for (std::int32_t k = 0; k < length; ++k) {
        const std::int32_t from = k < 2 * half ? (k % 2 == 0 ? k / 2 : half + k / 2) : k;
        DecodeBuffer[static_cast<std::size_t>(from)] = table[static_cast<std::size_t>(k)];
        ScratchBuffer[static_cast<std::size_t>(k)] = table[static_cast<std::size_t>(k)];
    }
}

void PrintTo(const PackingCase& c, std::ostream* os) {
    *os << c.name;
}

void checkPackingCase(std::int32_t codec, const PackingCase& c) {
    Bytes table = c.input;
    if (c.wholeDecoder) {
        clearAllBuffers();
        loadStored(c.input);
        ASSERT_EQ(runDecoder(codec, static_cast<std::int32_t>(c.input.size())), c.length);
        EXPECT_FALSE(lastDecodeDamaged());
        EXPECT_EQ(scratch(0, c.length), c.expectedScratch);
        table = c.expectedScratch;
    } else {
        ASSERT_EQ(static_cast<std::int32_t>(c.input.size()), c.length);
        loadPreludeState(c.input);
        runPacking(codec, c.length);
        EXPECT_EQ(scratch(0, c.length), c.input) << "the packing step only reads T";
    }
    EXPECT_EQ(decoded(0, c.length + 1), c.expected);
    EXPECT_TRUE(decodeZeroFrom(c.length + 1));
    EXPECT_TRUE(scratchZeroFrom(c.length));
}

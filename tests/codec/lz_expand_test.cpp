// The LZ stage on its own: token kinds, the moment the control word is
// reloaded, operand reads past the stored bytes, and where it must stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec_test_support.h"
#include "tests/support/reference_lz.h"

namespace {

struct LzCase {
    const char* name;
    Bytes stored; // placed at the start of BlockInputBuffer
    std::int32_t storedSize;
    std::int32_t length;
    Bytes prefix;          // DecodeBuffer[0 .. prefix.size())
    std::int32_t restByte; // every byte from prefix.size() to length, or -1
    bool damaged;
};

Bytes repeated(const Bytes& pattern, std::int32_t times) {
    Bytes out;
    for (std::int32_t i = 0; i < times; ++i) {
        out.insert(out.end(), pattern.begin(), pattern.end());
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<LzCase> LzCases = {
    {"FourLiteralsThenEndMarker",
     {0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00},
     9,
     4,
     {0x0A, 0x14, 0x1E, 0x28},
     -1,
     false},
    // The word after FF FF stands before the sixteenth literal's byte.
    {"SixteenthFlagReloadsBeforeItsLiteral",
     {0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
      0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x02, 0x00, 0x10, 0x00, 0x00, 0x00},
     23,
     16,
     {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
      0x10},
     -1,
     false},
    {"ExtendedCopyOfOneByteRepeats256Times",
     {0x15, 0x00, 0x21, 0xFF, 0xF0, 0xFF, 0x00, 0x00, 0x00},
     9,
     257,
     {},
     0x21,
     false},
    {"FirstTokenReadsZeroHistory4096Back",
     {0x0A, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00},
     7,
     18,
     {},
     0x00,
     false},
    {"ExtensionByteOneCopiesTwo",
     {0x2B, 0x00, 0x41, 0x42, 0xFE, 0xF0, 0x01, 0x00, 0x00, 0x00},
     10,
     4,
     {0x41, 0x42, 0x41, 0x42},
     -1,
     false},
    {"ShortCountBitsOneOneCopySix",
     {0xB3, 0x00, 0x41, 0x42, 0xFE, 0x00, 0x00, 0x00},
     8,
     8,
     {0x41, 0x42, 0x41, 0x42, 0x41, 0x42, 0x41, 0x42},
     -1,
     false},
    {"ShortCountFirstBitWeighsTwo",
     {0x93, 0x00, 0x41, 0x42, 0xFE, 0x00, 0x00, 0x00},
     8,
     7,
     {0x41, 0x42, 0x41, 0x42, 0x41, 0x42, 0x41},
     -1,
     false},
    {"ShortCountSecondBitWeighsOne",
     {0xA3, 0x00, 0x41, 0x42, 0xFE, 0x00, 0x00, 0x00},
     8,
     6,
     {0x41, 0x42, 0x41, 0x42, 0x41, 0x42},
     -1,
     false},
    {"EndMarkerIgnoresB1AndHighNibbleOfB2",
     {0x0B, 0x00, 0x41, 0x42, 0x37, 0xA0, 0x00},
     7,
     2,
     {0x41, 0x42},
     -1,
     false},
    {"BytesAfterEndMarkerAreNeverRead",
     {0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x11, 0x22},
     13,
     4,
     {0x0A, 0x14, 0x1E, 0x28},
     -1,
     false},
    // With nothing stored the first word still comes from bytes 0 and 1:
    // sixteen literals of 0xFF, then zero words of short copies of the last
    // byte until the output limit.
    {"StoredCountZeroStillReadsFirstWord", {0xFF, 0xFF}, 0, LzOutputLimit, {}, 0xFF, true},
    // The stream runs out after two literals: two more literals store 0xFF,
    // then a long form with b1 = b2 = -1 copies the last byte 18 times.
    {"NoEndMarkerLiteralsPastStoredBytesStoreFF",
     {0x2F, 0x00, 0x0A, 0x14},
     4,
     LzOutputLimit,
     {0x0A, 0x14, 0xFF, 0xFF},
     0xFF,
     true},
    // -1 as e gives count 0 rather than an end marker or 256 bytes; the next
    // token is a literal past the stored bytes.
    {"ExtensionBytePastStoredBytesCopiesNothing",
     {0x0D, 0x00, 0x41, 0xFF, 0xF0},
     5,
     LzOutputLimit,
     {0x41, 0xFF},
     0xFF,
     true},
    {"ShortDistancePastStoredBytesRepeatsLastByte",
     {0x03, 0x00, 0x41, 0x42},
     4,
     LzOutputLimit,
     {0x41, 0x42, 0x42, 0x42, 0x42},
     0x42,
     true},
    {"LongB1PastStoredBytesRepeatsLastByte",
     {0x0B, 0x00, 0x41, 0x42},
     4,
     LzOutputLimit,
     {0x41, 0x42, 0x42, 0x42},
     0x42,
     true},
    // b2 = -1: count field 15 (18 bytes), offset field 15 (b1 - 256 = -2).
    {"LongB2PastStoredBytesCopies18FromB1Minus256",
     {0x0B, 0x00, 0x41, 0x42, 0xFE},
     5,
     LzOutputLimit,
     concat(repeated({0x41, 0x42}, 10), {0x42}),
     0x42,
     true},
};

void PrintTo(const LzCase& c, std::ostream* os) {
    *os << c.name;
}

class LzExpandExamples : public testing::TestWithParam<LzCase> {};

TEST_P(LzExpandExamples, ExpandsAsTheTokensSay) {
    const LzCase& c = GetParam();
    clearAllBuffers();
    loadStored(c.stored);

    const std::int32_t length = lzExpand(c.storedSize);

    ASSERT_EQ(length, c.length);
    EXPECT_EQ(Lz.damaged, c.damaged);
    const auto prefixSize = static_cast<std::int32_t>(c.prefix.size());
    EXPECT_EQ(decoded(0, prefixSize), c.prefix);
    if (c.restByte >= 0) {
        EXPECT_EQ(decoded(prefixSize, length), Bytes(static_cast<std::size_t>(length - prefixSize),
                                                     static_cast<std::uint8_t>(c.restByte)));
    }
    EXPECT_TRUE(decodeZeroFrom(length));
    EXPECT_TRUE(scratchZeroFrom(0)) << "the LZ stage only reads the history";
}

INSTANTIATE_TEST_SUITE_P(Tokens, LzExpandExamples, testing::ValuesIn(LzCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(LzExpand, RandomTokenStreamsExpandExactly) {
    TestRandom random{0x9E3779B97F4A7C15ULL};
    for (std::int32_t round = 0; round < 60; ++round) {
        const std::int32_t length =
            round == 0 ? 0 : static_cast<std::int32_t>(nextRandom(random) % 20000);
        const StoredStream stream = randomStream(random, length);
        clearAllBuffers();
        loadStored(stream.bytes);

        ASSERT_EQ(lzExpand(static_cast<std::int32_t>(stream.bytes.size())), length);
        EXPECT_FALSE(Lz.damaged);
        ASSERT_EQ(decoded(0, length), stream.expanded) << "round " << round;
        EXPECT_TRUE(decodeZeroFrom(length));
    }
}

// A well-formed stream of literal 0x5A, then copies of it, then the end marker.
StoredStream longRun(std::int32_t length, bool closeWithLiteral) {
    StoredStream stream;
    putLiteral(stream, 0x5A);
    while (static_cast<std::int32_t>(stream.expanded.size()) < length) {
        const std::int32_t left = length - static_cast<std::int32_t>(stream.expanded.size());
        putExtendedRef(stream, std::min(left, 256), -1);
    }
    if (closeWithLiteral) {
        putLiteral(stream, 0x5A);
    }
    putEndMarker(stream);
    return stream;
}

TEST(LzExpand, OutputUpToTheLimitIsNotDamaged) {
    const StoredStream stream = longRun(LzOutputLimit, false);
    loadStored(stream.bytes);
    WorkRegion.fill(0);

    EXPECT_EQ(lzExpand(static_cast<std::int32_t>(stream.bytes.size())), LzOutputLimit);
    EXPECT_FALSE(Lz.damaged);
}

TEST(LzExpand, LiteralPastTheLimitStopsAndIsDamaged) {
    const StoredStream stream = longRun(LzOutputLimit, true);
    loadStored(stream.bytes);
    WorkRegion.fill(0);

    EXPECT_EQ(lzExpand(static_cast<std::int32_t>(stream.bytes.size())), LzOutputLimit);
    EXPECT_TRUE(Lz.damaged);
    EXPECT_EQ(DecodeBuffer[LzOutputLimit], 0);
}

TEST(LzExpand, CopyPastTheLimitIsCutAtTheLimitAndIsDamaged) {
    const StoredStream stream = longRun(WorkBufferSize + 1000, false);
    loadStored(stream.bytes);
    WorkRegion.fill(0);

    EXPECT_EQ(lzExpand(static_cast<std::int32_t>(stream.bytes.size())), LzOutputLimit);
    EXPECT_TRUE(Lz.damaged);
    EXPECT_EQ(DecodeBuffer[LzOutputLimit - 1], 0x5A);
    EXPECT_EQ(DecodeBuffer[LzOutputLimit], 0);
}

// 131072 bytes of 0xFF are nothing but literals: each word of flags covers
// 16 literals, stored as the word, 15 bytes, the next word and one byte. Words
// are read at 0, 17, 35, ..., 131057; the literals of the last one run past
// the stored bytes, and taking its 16th flag needs a word at 131072, past the
// buffer. That 16th literal is not decoded: 7282 words x 16 - 1 bytes.
TEST(LzExpand, ControlWordPastTheInputStopsAndIsDamaged) {
    BlockInputBuffer.fill(0xFF);
    WorkRegion.fill(0);

    EXPECT_EQ(lzExpand(BlockInputSize), 7282 * 16 - 1);
    EXPECT_TRUE(Lz.damaged);
    EXPECT_EQ(Lz.inPos, BlockInputSize);
}

// Streams that reach the end of BlockInputBuffer, against the plain LZ stage:
// every stored size from 131052 to 131072 (and one past, which is clamped),
// for each of 18 alignments of the control words, so that one of them puts a
// word in bytes 131070 and 131071. The stream is literals (their bytes 1 ..
// 251) after `shift` extended copies, each of which moves the later words one
// byte on. What lies past the stored size is the rest of the stream, or the
// tail: zero words, which the stage runs through at once, then words that
// are not zero.
struct EndCase {
    const char* name;
    bool endMarker;
    Bytes tail; // placed at the stored size, overwriting the stream
};

const std::vector<EndCase> EndCases = {
    {"LiteralsToTheEnd", false, {}},
    {"LiteralsThenEndMarker", true, {}},
    {"ZeroWordsThenNonZeroPastStoredSize", false, {0, 0, 0, 0, 0, 0, 1, 1, 1}},
    {"EndMarkerThenZeroWordsThenNonZero", true, {0, 0, 0, 0, 1, 0x80, 1, 0x80}},
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

// The stream for one alignment; wordAtEnd tells whether it has a control
// word in the last two bytes of the buffer.
Bytes streamToTheEnd(std::int32_t shift, bool endMarker, bool& wordAtEnd) {
    StoredStream stream;
    putLiteral(stream, 0x33);
    for (std::int32_t i = 0; i < shift; ++i) {
        putExtendedRef(stream, 2 + i, -1);
    }
    // A literal that starts at 131070 and takes its word's 16th flag puts
    // the next word in the last two bytes and its own byte past the buffer.
    const std::size_t lastStart = BlockInputSize - 2 - (endMarker ? 5 : 0);
    wordAtEnd = false;
    for (std::uint32_t i = 0; stream.bytes.size() <= lastStart; ++i) {
        putLiteral(stream, static_cast<std::uint8_t>(1 + i % 251));
        wordAtEnd = wordAtEnd || stream.wordPos == BlockInputSize - 2;
    }
    if (endMarker) {
        putEndMarker(stream);
    }
    stream.bytes.resize(BlockInputSize);
    return stream.bytes;
}

// Empty when the program's stage and the reference agree on everything.
std::string differenceFromReference(std::int32_t storedSize) {
    clearWholeWorkRegionAtNextDecode();
    WorkRegion.fill(0);
    const Bytes input(BlockInputBuffer.begin(), BlockInputBuffer.end());
    const std::int32_t length = lzExpand(storedSize);
    const ReferenceLz reference = referenceLzExpand(input, storedSize, LzOutputLimit);
    std::ostringstream out;
    if (static_cast<std::size_t>(length) != reference.output.size()) {
        out << "length " << length << ", reference " << reference.output.size();
    } else if (!std::equal(reference.output.begin(), reference.output.end(),
                           DecodeBuffer.begin())) {
        out << "output bytes differ";
    } else if (!decodeZeroFrom(length)) {
        out << "bytes written past the length";
    } else if (Lz.damaged != reference.damaged) {
        out << "damaged " << Lz.damaged << ", reference " << reference.damaged;
    } else if (Lz.inPos != reference.inPos || Lz.ctrlWord != reference.ctrlWord ||
               Lz.ctrlBitsLeft != reference.ctrlBitsLeft) {
        out << "reader left at " << Lz.inPos << " with word " << Lz.ctrlWord << " and "
            << Lz.ctrlBitsLeft << " flags, reference at " << reference.inPos << " with word "
            << reference.ctrlWord << " and " << reference.ctrlBitsLeft << " flags";
    }
    return out.str();
}

class LzExpandAtTheInputEnd : public testing::TestWithParam<EndCase> {};

TEST_P(LzExpandAtTheInputEnd, AgreesWithTheReferenceForEveryStoredSize) {
    const EndCase& c = GetParam();
    bool anyWordAtEnd = false;
    for (std::int32_t shift = 0; shift < 18; ++shift) {
        bool wordAtEnd = false;
        const Bytes stream = streamToTheEnd(shift, c.endMarker, wordAtEnd);
        anyWordAtEnd = anyWordAtEnd || wordAtEnd;
        for (std::int32_t storedSize = BlockInputSize - 20; storedSize <= BlockInputSize + 1;
             ++storedSize) {
            std::copy(stream.begin(), stream.end(), BlockInputBuffer.begin());
            const auto at = static_cast<std::size_t>(std::min(storedSize, BlockInputSize));
            std::copy_n(c.tail.begin(), std::min(c.tail.size(), BlockInputSize - at),
                        BlockInputBuffer.begin() + static_cast<std::ptrdiff_t>(at));
            const std::string difference = differenceFromReference(storedSize);
            ASSERT_EQ(difference, "") << "shift " << shift << ", stored size " << storedSize;
        }
    }
    EXPECT_TRUE(anyWordAtEnd || c.endMarker)
        << "no alignment put a control word in bytes 131070 and 131071";
}

INSTANTIATE_TEST_SUITE_P(Streams, LzExpandAtTheInputEnd, testing::ValuesIn(EndCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

} // namespace

// The two running sums and the interleaved table T.
#include <gtest/gtest.h>

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/prelude.h"
#include "codec_test_support.h"

namespace {

struct PreludeCase {
    const char* name;
    Bytes lzOutput;
    Bytes sums;  // D afterwards
    Bytes table; // T[0 .. L)
    std::int32_t n;
};

const std::vector<PreludeCase> PreludeCases = {
    {"FourBytes", {0x0A, 0x14, 0x1E, 0x28}, {0x0A, 0x1E, 0x50, 0xAA}, {0x0A, 0x1E, 0x50, 0xAA}, 2},
    {"SumsWrapModulo256", {0xFF, 0x01, 0x01}, {0xFF, 0x00, 0x02}, {0xFF, 0x00, 0x02}, 2},
    {"SevenBytesInterleaveTwoPairs",
     {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70},
     {0x10, 0x30, 0x80, 0x10, 0xF0, 0x30, 0xE0},
     {0x10, 0x80, 0x30, 0x10, 0xF0, 0x30, 0xE0},
     4},
    // Second differences of zero from 01 02: the sums climb by one.
    {"NineBytesInterleaveThreePairs",
     {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
     {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09},
     {0x01, 0x04, 0x02, 0x05, 0x03, 0x06, 0x07, 0x08, 0x09},
     6},
    {"TwoBytesOnlySecondPass", {0x12, 0x34}, {0x12, 0x46}, {0x12, 0x46}, 1},
    {"ThreeBytesSinglePairLeavesOrder",
     {0x12, 0x34, 0x56},
     {0x12, 0x46, 0xD0},
     {0x12, 0x46, 0xD0},
     2},
};

void PrintTo(const PreludeCase& c, std::ostream* os) {
    *os << c.name;
}

class PreludeExamples : public testing::TestWithParam<PreludeCase> {};

TEST_P(PreludeExamples, SumsAndInterleaves) {
    const PreludeCase& c = GetParam();
    const auto length = static_cast<std::int32_t>(c.lzOutput.size());
    clearAllBuffers();
    std::copy(c.lzOutput.begin(), c.lzOutput.end(), DecodeBuffer.begin());

    EXPECT_EQ(reconstructPrelude(length), c.n);

    EXPECT_EQ(decoded(0, length), c.sums);
    EXPECT_EQ(scratch(0, length), c.table);
    EXPECT_TRUE(decodeZeroFrom(length));
    EXPECT_TRUE(scratchZeroFrom(length));
}

INSTANTIATE_TEST_SUITE_P(Blocks, PreludeExamples, testing::ValuesIn(PreludeCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(Prelude, MatchesSecondDifferenceInverseOnRandomBlocks) {
    TestRandom random{12345};
    for (const std::int32_t length : {2, 3, 4, 5, 6, 7, 100, 8191, 8192, LzOutputLimit}) {
        const Bytes lzOutput = randomBytes(random, static_cast<std::size_t>(length));
        clearAllBuffers();
        std::copy(lzOutput.begin(), lzOutput.end(), DecodeBuffer.begin());

        EXPECT_EQ(reconstructPrelude(length), 2 * length / 3);

        const Bytes sums = referenceSums(lzOutput);
        ASSERT_EQ(decoded(0, length), sums) << "length " << length;
        const Bytes table = referenceTable(sums);
        ASSERT_EQ(scratch(0, length + 1), table) << "length " << length;
        EXPECT_TRUE(decodeZeroFrom(length));
        EXPECT_TRUE(scratchZeroFrom(length));
    }
}

TEST(Prelude, LengthsBelowTwoTouchNothing) {
    for (const std::int32_t length : {0, 1}) {
        clearAllBuffers();
        DecodeBuffer[0] = 0x77;

        EXPECT_EQ(reconstructPrelude(length), 0);

        EXPECT_EQ(DecodeBuffer[0], 0x77);
        EXPECT_TRUE(decodeZeroFrom(1));
        EXPECT_TRUE(scratchZeroFrom(0));
    }
}

TEST(InterleaveHalves, AlternatesTheHalvesAndLeavesTheRest) {
    clearAllBuffers();
    const Bytes d = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    std::copy(d.begin(), d.end(), DecodeBuffer.begin());
    std::copy(d.begin(), d.end(), ScratchBuffer.begin());

    interleaveHalves(3);

    EXPECT_EQ(scratch(0, 9), (Bytes{0x00, 0x03, 0x01, 0x04, 0x02, 0x05, 0x06, 0x07, 0x08}));
    EXPECT_EQ(decoded(0, 9), d);
}

} // namespace

// The packing steps against references that place whole 12-bit values into
// triples, for every block length up to a full stream block.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/decoders.h"
#include "codec_test_support.h"

namespace {

Bytes referencePack(std::int32_t codec, const Bytes& table, const Bytes& priorD) {
    if (codec == 10) {
        return referencePack10(table, priorD);
    }
    return codec == 11 ? referencePack11(table) : referencePack12(table);
}

class PackingSweep : public testing::TestWithParam<std::int32_t> {};

// DecodeBuffer[0 .. L) is filled with 0x00 and then 0xFF before packing: the
// result must not depend on it (apart from codec 10's kept byte), which shows
// that every byte is stored whole before any OR lands on it.
TEST_P(PackingSweep, EveryLengthMatchesTheReferenceAndStaysInBounds) {
    const std::int32_t codec = GetParam();
    TestRandom random{0xC0DEC000ULL + static_cast<std::uint64_t>(codec)};
    clearAllBuffers();
    for (std::int32_t length = 2; length <= 8192; ++length) {
        const auto size = static_cast<std::size_t>(length);
        Bytes table = randomBytes(random, size);
        std::copy(table.begin(), table.end(), ScratchBuffer.begin());
        table.push_back(0);
        const std::int32_t window = 2 * length + 64;

        for (const std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
            std::fill_n(DecodeBuffer.begin(), size, fill);
            runPacking(codec, length);

            ASSERT_EQ(decoded(0, length + 1), referencePack(codec, table, Bytes(size, fill)))
                << "codec " << codec << " length " << length << " fill " << int{fill};
            ASSERT_TRUE(decodeZeroFrom(length + 1, window)) << "length " << length;
            ASSERT_EQ(scratch(0, length + 1), table) << "T must only be read";
            ASSERT_TRUE(scratchZeroFrom(length, window));
            std::fill_n(DecodeBuffer.begin(), size + 1, 0);
        }
        std::fill_n(ScratchBuffer.begin(), size, 0);
    }
    // A stray write anywhere past the windows would still be here.
    EXPECT_TRUE(decodeZeroFrom(0));
    EXPECT_TRUE(scratchZeroFrom(0));
}

TEST_P(PackingSweep, FullStreamBlockRewritesAll8192Bytes) {
    const std::int32_t codec = GetParam();
    TestRandom random{77};
    const Bytes table = randomBytes(random, 8192);
    Bytes results[2];
    for (const std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
        loadPreludeState(table);
        std::fill_n(DecodeBuffer.begin(), 8192, fill);
        runPacking(codec, 8192);
        results[fill & 1] = decoded(0, 8192);
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_TRUE(decodeZeroFrom(8192));
}

INSTANTIATE_TEST_SUITE_P(Codecs, PackingSweep, testing::Values(10, 11, 12),
                         [](const auto& testInfo) {
                             return "Codec" + std::to_string(testInfo.param);
                         });

} // namespace

// Whole decoders: the pipeline against the references, short blocks, the
// damaged flag, and arbitrary stored bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec_test_support.h"

namespace {

class Decoder : public testing::TestWithParam<std::int32_t> {
  protected:
    std::int32_t decode(const Bytes& stored) {
        loadStored(stored);
        return runDecoder(GetParam(), static_cast<std::int32_t>(stored.size()));
    }
};

Bytes expectedBlock(std::int32_t codec, const Bytes& lzOutput) {
    const Bytes sums = referenceSums(lzOutput);
    const Bytes table = referenceTable(sums);
    if (codec == 10) {
        return referencePack10(table, sums);
    }
    return codec == 11 ? referencePack11(table) : referencePack12(table);
}

TEST_P(Decoder, RandomStreamsDecodeLikeTheReferences) {
    TestRandom random{0x5EED0000ULL + static_cast<std::uint64_t>(GetParam())};
    std::vector<std::int32_t> lengths = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 8190, 8191, 8192};
    for (std::int32_t i = 0; i < 10; ++i) {
        lengths.push_back(2 + static_cast<std::int32_t>(nextRandom(random) % 30000));
    }
    for (const std::int32_t length : lengths) {
        const StoredStream stream = randomStream(random, length);
        WorkRegion.fill(0xAB);
        clearWholeWorkRegionAtNextDecode();

        ASSERT_EQ(decode(stream.bytes), length);
        EXPECT_FALSE(lastDecodeDamaged());
        ASSERT_EQ(decoded(0, length + 1), expectedBlock(GetParam(), stream.expanded))
            << "length " << length;
        EXPECT_EQ(scratch(0, length + 1), referenceTable(referenceSums(stream.expanded)))
            << "length " << length;
        EXPECT_TRUE(decodeZeroFrom(length + 1));
        EXPECT_TRUE(scratchZeroFrom(length));
    }
}

TEST_P(Decoder, BlocksShorterThanTwoKeepTheLzOutput) {
    // An end marker at once, then one literal and the end marker.
    const Bytes empty = {0x02, 0x00, 0x00, 0x00, 0x00};
    const Bytes single = {0x05, 0x00, 0x9C, 0x00, 0x00, 0x00};

    WorkRegion.fill(0xAB);
    clearWholeWorkRegionAtNextDecode();
    EXPECT_EQ(decode(empty), 0);
    EXPECT_FALSE(lastDecodeDamaged());
    EXPECT_TRUE(decodeZeroFrom(0));
    EXPECT_TRUE(scratchZeroFrom(0));

    WorkRegion.fill(0xAB);
    clearWholeWorkRegionAtNextDecode();
    EXPECT_EQ(decode(single), 1);
    EXPECT_FALSE(lastDecodeDamaged());
    EXPECT_EQ(DecodeBuffer[0], 0x9C);
    EXPECT_TRUE(decodeZeroFrom(1));
    EXPECT_TRUE(scratchZeroFrom(0));
}

// Offset -4096, count 18, as the first token: the history is cleared by every
// decode, whatever the one before left in either buffer.
TEST_P(Decoder, HistoryBeforeTheOutputIsZeroAfterAnEarlierBlock) {
    const Bytes earlier = {0x5F, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00, 0x00};
    const Bytes farBack = {0x0A, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00};
    WorkRegion.fill(0xAB);
    clearWholeWorkRegionAtNextDecode();
    decode(earlier);
    std::fill(ScratchBuffer.end() - 4096, ScratchBuffer.end(), 0xCD);
    clearWholeWorkRegionAtNextDecode();

    EXPECT_EQ(decode(farBack), 18);
    EXPECT_TRUE(decodeZeroFrom(0));
    EXPECT_TRUE(scratchZeroFrom(0));
}

TEST_P(Decoder, DamagedFlagFollowsEachDecode) {
    const Bytes good = {0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};
    const Bytes noEndMarker = {0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28};
    StoredStream tooLong;
    putLiteral(tooLong, 0x11);
    for (std::int32_t copied = 0; copied < WorkBufferSize; copied += 256) {
        putExtendedRef(tooLong, 256, -1);
    }
    putEndMarker(tooLong);

    EXPECT_EQ(decode(noEndMarker), LzOutputLimit);
    EXPECT_TRUE(lastDecodeDamaged());
    EXPECT_EQ(DecodeBuffer[LzOutputLimit], 0);

    EXPECT_EQ(decode(good), 4);
    EXPECT_FALSE(lastDecodeDamaged());

    EXPECT_EQ(decode(tooLong.bytes), LzOutputLimit);
    EXPECT_TRUE(lastDecodeDamaged());
    EXPECT_EQ(DecodeBuffer[LzOutputLimit], 0);
}

// Arbitrary stored bytes and sizes, including sizes no caller should pass:
// whatever the decoder makes of them stays inside the buffers and leaves
// everything past the block zero. Run under the asan preset as well.
TEST_P(Decoder, ArbitraryStoredBytesStayInsideTheBuffers) {
    const std::int32_t codec = GetParam();
    TestRandom random{0xF00D0000ULL + static_cast<std::uint64_t>(codec)};
    std::vector<std::int32_t> sizes = {std::numeric_limits<std::int32_t>::min(),
                                       -1,
                                       0,
                                       1,
                                       2,
                                       3,
                                       BlockInputSize - 1,
                                       BlockInputSize,
                                       BlockInputSize + 1,
                                       std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t i = 0; i < 30; ++i) {
        sizes.push_back(static_cast<std::int32_t>(nextRandom(random) % (BlockInputSize + 1)));
    }
    for (const std::int32_t size : sizes) {
        for (const bool literalHeavy : {false, true}) {
            // Literal-heavy input runs out of control words at either parity.
            for (auto& byte : BlockInputBuffer) {
                byte = literalHeavy && nextRandom(random) % 64 != 0 ? 0xFF : randomByte(random);
            }
            WorkRegion.fill(0xAB);
            clearWholeWorkRegionAtNextDecode();

            const std::int32_t length = runDecoder(codec, size);

            ASSERT_GE(length, 0);
            ASSERT_LE(length, LzOutputLimit);
            const bool writesByteL = codec == 11 && length >= 2 && length % 3 == 0;
            EXPECT_TRUE(decodeZeroFrom(length + (writesByteL ? 1 : 0)))
                << "size " << size << " length " << length;
            EXPECT_TRUE(scratchZeroFrom(length < 2 ? 0 : length));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, Decoder, testing::Values(10, 11, 12), [](const auto& testInfo) {
    return "Codec" + std::to_string(testInfo.param);
});

} // namespace

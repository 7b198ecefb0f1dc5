// Inverse packing, interleave and sums, checked against the forward steps.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/pack/pack_support.h"
#include "tests/pack/reference_decoder.h"

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (const int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// The forward packing in the tests must itself be right: worked examples.
struct PackExample {
    std::int32_t codec;
    std::vector<std::uint8_t> table;
    std::vector<std::uint8_t> block;
};

TEST(ReferencePack, MatchesWorkedExamples) {
    const std::vector<PackExample> examples{
        {10, bytes({0x12, 0x34}), bytes({0x24, 0x31})},
        {10, bytes({0x12, 0x34, 0x56}), bytes({0x26, 0x31, 0x50})},
        {10, bytes({0x0A, 0x1E, 0x50, 0xAA}), bytes({0xA0, 0x10, 0xFA, 0xAA})},
        {11, bytes({0x12, 0x34, 0x56, 0x78, 0x9A}), bytes({0x17, 0x28, 0x49, 0x53, 0x6A})},
        {11, bytes({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}),
         bytes({0x1B, 0x2C, 0x4D, 0x53, 0x6E, 0x8F, 0x97, 0xA0})},
        {12, bytes({0x12, 0x34, 0x56, 0x78, 0x9A}), bytes({0x9A, 0x28, 0x31, 0x47, 0x56})},
        {12, bytes({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}),
         bytes({0xF0, 0x2C, 0x31, 0x4B, 0x6E, 0x75, 0x8D, 0x9A})},
    };
    for (const PackExample& e : examples) {
        EXPECT_EQ(referencePack(e.codec, e.table), e.block) << "codec " << e.codec;
    }
    EXPECT_EQ(referenceDecode(12, bytes({0x5F, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0, 0, 0})),
              bytes({0x1F, 0x11, 0x00, 0x31, 0x08}));
    EXPECT_EQ(referenceDecode(11, bytes({0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0, 0, 0})),
              bytes({0x05, 0xA0, 0xEA, 0x01}));
}

TEST(CodecForPhase, GridStartPicksTheCodec) {
    EXPECT_EQ(codecForPhase(0), 10);
    EXPECT_EQ(codecForPhase(1), 12);
    EXPECT_EQ(codecForPhase(2), 11);
}

class BlockInverse : public testing::TestWithParam<std::int32_t> {};

// The packing step is a bijection on 8192-byte blocks, so any stream bytes
// at all, header and tag included, must come back.
TEST_P(BlockInverse, UnpackThenPackGivesTheBlockBack) {
    const std::int32_t codec = GetParam();
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const StreamBlock block = randomBlock(seed * 100 + static_cast<std::uint32_t>(codec));
        const StreamBlock table = unpackBlock(codec, block);
        const std::vector<std::uint8_t> packed = referencePack(codec, table);
        ASSERT_TRUE(std::equal(packed.begin(), packed.end(), block.begin(), block.end()));
    }
}

TEST_P(BlockInverse, EncodedBlockDecodesToExactlyItsBytes) {
    const std::int32_t codec = GetParam();
    // Any bytes at all: noise, zeros, all ones, and the stream's own header.
    StreamBlock ones{};
    ones.fill(0xFF);
    StreamBlock header{};
    std::memcpy(header.data(),
                "ZELVORPK\0\0\1\0\x56\x22\2\x0c"
                "DATA",
                20);
    std::vector<StreamBlock> blocks{randomBlock(7), StreamBlock{}, ones, header};
    // Silence and music, laid out on this codec's grid.
    StreamBlock silence{};
    StreamBlock music{};
    const std::vector<StereoValue> frames = testSignal(2800, 3);
    const std::int32_t start = codec == 10 ? 0 : (codec == 12 ? 1 : 2);
    for (std::int32_t i = 0; i < BlockBytes; ++i) {
        const std::int32_t k = (i - start + 3) % 3;
        const StereoValue v = frames[static_cast<std::size_t>((i - start + 3) / 3)];
        const std::array<std::uint8_t, 3> triple{
            static_cast<std::uint8_t>(v.left & 0xFF),
            static_cast<std::uint8_t>(((v.right >> 4) & 0xF0) | (v.left >> 8)),
            static_cast<std::uint8_t>(v.right & 0xFF)};
        const std::array<std::uint8_t, 3> quiet{0x00, 0x88, 0x00};
        music[static_cast<std::size_t>(i)] = triple[static_cast<std::size_t>(k)];
        silence[static_cast<std::size_t>(i)] = quiet[static_cast<std::size_t>(k)];
    }
    blocks.push_back(silence);
    blocks.push_back(music);
    for (const StreamBlock& block : blocks) {
        const std::vector<std::uint8_t> stored = encodeBlock(codec, block);
        bool damaged = true;
        for (const std::vector<std::uint8_t>& decoded :
             {referenceDecode(codec, stored),
              programDecode(static_cast<std::uint32_t>(codec), stored, damaged)}) {
            ASSERT_EQ(decoded.size(), 8192u);
            ASSERT_TRUE(std::equal(decoded.begin(), decoded.end(), block.begin()));
        }
        EXPECT_FALSE(damaged);
    }
    EXPECT_LT(encodeBlock(codec, silence).size(), 200u);
    EXPECT_LT(encodeBlock(codec, music).size(), 8192u);
}

INSTANTIATE_TEST_SUITE_P(Codecs, BlockInverse, testing::Values(10, 11, 12),
                         [](const auto& p) { return "codec" + std::to_string(p.param); });

} // namespace

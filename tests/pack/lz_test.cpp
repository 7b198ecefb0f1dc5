// The LZ compressor against an expander written from the stored format.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/pack/reference_decoder.h"
#include "tools/encoder/lz_compress.h"

namespace {

struct LzCase {
    const char* name;
    std::vector<std::uint8_t> input;
    double maxRatio; // stored bytes / input bytes must stay below this
};

std::vector<std::uint8_t> repeating(std::size_t size, std::size_t period, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> pattern(period);
    for (std::uint8_t& b : pattern) {
        b = static_cast<std::uint8_t>(random());
    }
    std::vector<std::uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = pattern[i % period];
    }
    return out;
}

std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed, std::uint32_t range) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> out(size);
    for (std::uint8_t& b : out) {
        b = static_cast<std::uint8_t>(random() % range);
    }
    return out;
}

// Second differences of a slow wave, as the block encoder feeds them.
std::vector<std::uint8_t> smoothDifferences(std::size_t size) {
    std::vector<std::uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] =
            static_cast<std::uint8_t>(std::lround(1.5 * std::sin(static_cast<double>(i) / 9.0)));
    }
    return out;
}

std::vector<LzCase> lzCases() {
    return {
        {"zeros", std::vector<std::uint8_t>(8192, 0), 0.02},
        {"one_byte", std::vector<std::uint8_t>(1, 0x5A), 10.0},
        {"three_bytes", {1, 2, 3}, 3.0},
        {"period_1", repeating(8192, 1, 1), 0.02},
        {"period_5", repeating(8192, 5, 2), 0.03},
        {"period_256", repeating(8192, 256, 3), 0.2},
        {"period_257", repeating(8192, 257, 4), 0.2},
        {"period_4096", repeating(8192, 4096, 5), 0.6},
        {"period_4097", repeating(8192, 4097, 6), 1.13},
        {"noise", noise(8192, 7, 256), 1.13},
        {"three_symbols", noise(8192, 8, 3), 0.55},
        {"smooth", smoothDifferences(8192), 0.1},
    };
}

class LzRoundTrip : public testing::TestWithParam<LzCase> {};

TEST_P(LzRoundTrip, ExpandsToTheInputAndCompresses) {
    const LzCase& c = GetParam();
    const std::vector<std::uint8_t> stored = lzCompress(c.input);
    EXPECT_EQ(referenceLzBlock(stored), c.input);
    EXPECT_LT(static_cast<double>(stored.size()), c.maxRatio * static_cast<double>(c.input.size()))
        << stored.size() << " bytes stored";
}

INSTANTIATE_TEST_SUITE_P(Inputs, LzRoundTrip, testing::ValuesIn(lzCases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(LzEmit, FourLiteralsAndTheEndMarker) {
    const std::vector<LzToken> tokens{{LzTokenKind::Literal, 0x0A, 0, 0},
                                      {LzTokenKind::Literal, 0x14, 0, 0},
                                      {LzTokenKind::Literal, 0x1E, 0, 0},
                                      {LzTokenKind::Literal, 0x28, 0, 0}};
    EXPECT_EQ(lzEmit(tokens),
              (std::vector<std::uint8_t>{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00}));
}

TEST(LzEmit, NextControlWordComesBeforeTheOperandOfTheSixteenthFlag) {
    std::vector<LzToken> tokens;
    for (std::uint8_t v = 1; v <= 16; ++v) {
        tokens.push_back(LzToken{LzTokenKind::Literal, v, 0, 0});
    }
    const std::vector<std::uint8_t> stored = lzEmit(tokens);
    // FF FF, fifteen literals, the next word (end marker flags 0, 1 = 0x0002),
    // the sixteenth literal, then the end marker's three bytes.
    std::vector<std::uint8_t> expected{0xFF, 0xFF};
    for (std::uint8_t v = 1; v <= 15; ++v) {
        expected.push_back(v);
    }
    expected.insert(expected.end(), {0x02, 0x00, 16, 0x00, 0x00, 0x00});
    EXPECT_EQ(stored, expected);
}

TEST(LzEmit, EveryTokenFormAtItsLimits) {
    // A literal, then references at the edges of each form's range; the
    // first reaches into the zero history before the output.
    const std::vector<LzToken> tokens{
        {LzTokenKind::Literal, 0x21, 0, 0},  {LzTokenKind::Extended, 0, 1, 256},
        {LzTokenKind::Short, 0, 256, 3},     {LzTokenKind::Short, 0, 1, 6},
        {LzTokenKind::Long, 0, 4096, 18},    {LzTokenKind::Long, 0, 300, 4},
        {LzTokenKind::Extended, 0, 4096, 2}, {LzTokenKind::Extended, 0, 2, 19},
    };
    std::vector<std::uint8_t> expected{0x21};
    const auto copy = [&](std::int32_t distance, std::int32_t count) {
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int64_t src = static_cast<std::int64_t>(expected.size()) - distance;
            expected.push_back(src < 0 ? 0 : expected[static_cast<std::size_t>(src)]);
        }
    };
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        copy(tokens[i].distance, tokens[i].count);
    }
    EXPECT_EQ(referenceLzBlock(lzEmit(tokens)), expected);
}

} // namespace

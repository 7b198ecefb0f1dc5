// Whole tracks: encode, decode every block, read the stream as the player
// does, and compare with the quantised input.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/pack/pack_support.h"
#include "tests/pack/reference_decoder.h"
#include "tools/encoder/bundle_write.h"

namespace {

std::uint32_t bigEndian(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | at[3];
}

enum class Decoder : std::uint8_t { Reference, Program };

// Splits a track's bytes into its table and decodes every block.
std::vector<StreamBlock> decodeTrack(const EncodedTrack& track, Decoder decoder,
                                     std::vector<std::uint32_t>& codecs) {
    const std::uint8_t* base = track.bytes.data();
    const std::uint32_t count = bigEndian(base + 4);
    std::vector<StreamBlock> blocks;
    codecs.clear();
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint8_t* entry = base + 16 + 16 * k;
        const std::span<const std::uint8_t> stored(base + bigEndian(entry), bigEndian(entry + 4));
        codecs.push_back(bigEndian(entry + 8));
        bool damaged = false;
        const std::vector<std::uint8_t> decoded =
            decoder == Decoder::Program
                ? programDecode(codecs.back(), stored, damaged)
                : referenceDecode(static_cast<std::int32_t>(codecs.back()), stored);
        EXPECT_EQ(decoded.size(), 8192u) << "block " << k;
        EXPECT_FALSE(damaged) << "block " << k;
        StreamBlock block{};
        std::memcpy(block.data(), decoded.data(), std::min<std::size_t>(decoded.size(), 8192));
        blocks.push_back(block);
    }
    return blocks;
}

struct TrackCase {
    const char* name;
    std::int64_t frames;
    std::int32_t leadIn;
};

class TrackRoundTrip : public testing::TestWithParam<TrackCase> {};

TEST_P(TrackRoundTrip, PlayedSamplesEqualTheQuantisedInput) {
    const TrackCase& c = GetParam();
    const std::vector<StereoValue> frames = testSignal(c.frames, 11);
    EncodedTrack track{};
    std::string error;
    ASSERT_TRUE(encodeTrack(frames, c.leadIn, track, error)) << error;
    EXPECT_EQ(track.blockCount, blocksForFrames(c.frames, c.leadIn));

    const std::vector<std::int16_t> expected = expectedSamples(frames);
    const std::int32_t start = streamDataStart(c.leadIn);
    for (const Decoder decoder : {Decoder::Program, Decoder::Reference}) {
        SCOPED_TRACE(decoder == Decoder::Program ? "program's decoders" : "reference decoder");
        std::vector<std::uint32_t> codecs;
        const std::vector<StreamBlock> blocks = decodeTrack(track, decoder, codecs);
        for (std::size_t k = 0; k < codecs.size(); ++k) {
            const std::uint32_t grid = static_cast<std::uint32_t>(
                codecForPhase((start + static_cast<std::int32_t>(k)) % 3));
            EXPECT_TRUE(codecs[k] == grid || codecs[k] == 0) << "block " << k;
        }
        const std::vector<std::int16_t> played = playedSamples(blocks);
        ASSERT_EQ(played.size(), expected.size());
        EXPECT_TRUE(played == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TrackRoundTrip,
    testing::Values(TrackCase{"header_grid_at_0", 30000, HeaderLeadIn},
                    TrackCase{"tag_at_0_grid_at_2", 30000, 0}, TrackCase{"grid_at_0", 30000, 1},
                    TrackCase{"grid_at_1", 30000, 2}, TrackCase{"tag_near_end", 30000, 8180},
                    TrackCase{"data_starts_at_8191", 30000, 8183},
                    TrackCase{"data_starts_at_block_1", 30000, 8184},
                    TrackCase{"tag_at_8188_overshoot", 30000, 8188},
                    TrackCase{"no_frames", 0, HeaderLeadIn},
                    TrackCase{"three_frames", 3, HeaderLeadIn},
                    TrackCase{"one_batch", 4096, HeaderLeadIn},
                    TrackCase{"one_batch_and_a_frame", 4097, HeaderLeadIn},
                    TrackCase{"ends_on_block_boundary", 4 * 8192 / 3 * 3 / 3, HeaderLeadIn},
                    TrackCase{"twenty_seconds", 20 * SampleRate, 5},
                    TrackCase{"three_minutes", 180 * SampleRate, HeaderLeadIn}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TrackLimits, RefusesMoreThan4096Blocks) {
    // The most frames that fit: 4096 blocks after the data start, in whole
    // batches.
    const std::int64_t fit = (std::int64_t{4096} * 8192 - streamDataStart(HeaderLeadIn)) / 3 /
                             FramesPerBatch * FramesPerBatch;
    EXPECT_EQ(blocksForFrames(fit, HeaderLeadIn), 4096);
    EXPECT_EQ(blocksForFrames(fit + 1, HeaderLeadIn), 4097);

    const std::vector<StereoValue> tooLong(static_cast<std::size_t>(fit + 1),
                                           StereoValue{SilenceValue, SilenceValue});
    EncodedTrack track{};
    std::string error;
    EXPECT_FALSE(encodeTrack(tooLong, HeaderLeadIn, track, error));
    EXPECT_NE(error.find("at most 4096 blocks"), std::string::npos) << error;
    EXPECT_FALSE(encodeTrack({}, MaxLeadIn + 1, track, error));
}

TEST(Quantise, NearestValueClampedAtTheTop) {
    struct Case {
        float sample;
        std::uint16_t value;
    };
    for (const Case c : {Case{0.0f, 2048}, Case{-1.0f, 0}, Case{1.0f, 4095}, Case{2.0f, 4095},
                         Case{-3.0f, 0}, Case{8.0f / 32768, 2049}, Case{7.0f / 32768, 2048},
                         Case{-9.0f / 32768, 2047}, Case{32752.0f / 32768, 4095}}) {
        EXPECT_EQ(quantiseSample(c.sample), c.value) << c.sample;
    }
    // Within 8 of the input below the clamped top.
    for (std::int32_t s = -32768; s < 32752; s += 7) {
        const std::int32_t back = widenValue(quantiseSample(static_cast<float>(s) / 32768));
        ASSERT_LE(std::abs(back - s), 8) << s;
    }
}

} // namespace

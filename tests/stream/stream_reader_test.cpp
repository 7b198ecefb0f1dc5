#include "stream/stream_reader.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "bundle/track.h"
#include "tests/stream/fake_output.h"
#include "tests/support/run_program.h"
#include "tests/support/stream_model.h"
#include "tests/support/test_bundle.h"

namespace {

class StreamReader : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        Fake = FakeOutput{};
        StreamBuffer.fill(0);
    }
    void TearDown() override {
        if (BundleFile != nullptr) {
            std::fclose(BundleFile);
            BundleFile = nullptr;
        }
    }

    // Stores the blocks raw, so that they arrive in the stream buffer exactly.
    void openRawTrack(const std::vector<Bytes>& blocks) {
        std::vector<TestBlock> stored;
        for (const Bytes& block : blocks) {
            stored.push_back({block, 0});
        }
        Bytes image;
        placeTrack(image, 0x20, stored);
        const std::string path = directory + "/track.bun";
        writeFile(path, image);
        testing::internal::CaptureStdout();
        openTrack(path.c_str(), 0x20);
        testing::internal::GetCapturedStdout();
    }

    void play() {
        testing::internal::CaptureStdout();
        playStream();
        progress = testing::internal::GetCapturedStdout();
    }

    std::string directory;
    std::string progress;
};

TEST_F(StreamReader, TriplesWidenToSixteenBits) {
    Bytes block = patterned(StreamBlockSize, 1);
    putTag(block, 0);
    const Bytes triples{0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x08,
                        0x00, 0x00, 0x80, 0x00, 0x12, 0x34, 0x56};
    std::copy(triples.begin(), triples.end(), block.begin() + 8);
    openRawTrack({block, block});

    testing::internal::CaptureStdout();
    ASSERT_EQ(beginStream(), StreamStart::Ready);
    ASSERT_EQ(fillBatch(), SampleBatchSize);
    testing::internal::GetCapturedStdout();
    const std::vector<std::int16_t> first(SampleBuffer.begin(), SampleBuffer.begin() + 10);
    EXPECT_EQ(first, (std::vector<std::int16_t>{-32768, -32768, 32752, 32752, 0, -32768, -32768, 0,
                                                -16096, -19104}));
}

TEST_F(StreamReader, PlaysTheStreamAsLaidOutInItsBlocks) {
    const struct {
        const char* name;
        std::vector<std::size_t> sizes; // delivered bytes per block
        std::vector<std::size_t> tags;  // where "DATA" is written in the first block
    } cases[] = {
        {"tag at 0", {8192, 8192, 8192}, {0}},
        {"first of two tags counts", {8192, 8192, 8192}, {100, 4000}},
        {"tag at 8188 starts at the second block", {8192, 8192, 8192}, {8188}},
        {"tag at 8183: the stream starts at the last byte", {8192, 8192}, {8183}},
        {"short first block plays its zero tail", {3000, 8192, 8192}, {10}},
        {"short last block plays the previous block's bytes", {8192, 8192, 8192, 5000}, {10}},
        {"single block ends with a partial batch", {8192}, {20}},
        {"long track", std::vector<std::size_t>(40, 8192), {5}},
    };
    std::uint32_t seed = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fake = FakeOutput{};
        StreamBuffer.fill(0);
        std::vector<Bytes> blocks;
        for (const std::size_t size : c.sizes) {
            blocks.push_back(patterned(size, ++seed));
        }
        for (const std::size_t tag : c.tags) {
            putTag(blocks[0], tag);
        }
        openRawTrack(blocks);
        play();

        const auto expected = wholeBatches(streamSamples(blocks, c.tags.front()));
        EXPECT_EQ(Fake.opens, 1);
        EXPECT_EQ(Fake.stops, 0);
        ASSERT_EQ(Fake.batches.size(), expected.size());
        for (std::size_t b = 0; b < expected.size(); ++b) {
            ASSERT_EQ(Fake.batches[b], expected[b]) << "batch " << b;
        }
        // One key test after every submission, none in between.
        EXPECT_EQ(Fake.keyTests, static_cast<int>(expected.size()));
        for (std::size_t t = 0; t < Fake.batchesAtKeyTest.size(); ++t) {
            EXPECT_EQ(Fake.batchesAtKeyTest[t], t + 1);
        }
        TearDown();
    }
}

TEST_F(StreamReader, KeyStopsAfterTheNextSubmissionAndDrainsTheKeys) {
    const struct {
        const char* name;
        std::deque<bool> answers;
        std::size_t batches;
        int keysRead;
    } cases[] = {
        {"three keys waiting after the second batch", {false, true, true, true, true, false}, 2, 3},
        {"key gone by the second test", {true, false}, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fake = FakeOutput{};
        Fake.keyAnswers = c.answers;
        std::vector<Bytes> blocks(6, patterned(StreamBlockSize, 7));
        putTag(blocks[0], 0);
        openRawTrack(blocks);
        play();
        EXPECT_EQ(Fake.batches.size(), c.batches);
        EXPECT_EQ(Fake.keysRead, c.keysRead);
        EXPECT_EQ(Fake.stops, 1);
        EXPECT_TRUE(Fake.keyAnswers.empty());
        TearDown();
    }
}

TEST_F(StreamReader, FindsNoStartWithoutBlocksOrTag) {
    Bytes noTag = patterned(StreamBlockSize, 3);
    noTag[8190] = 0x44; // "DA" at the very end: the tag cannot fit
    noTag[8191] = 0x41;
    Bytes lowerCase = patterned(StreamBlockSize, 4);
    std::copy_n("data", 4, lowerCase.begin() + 50);
    const struct {
        const char* name;
        std::vector<Bytes> blocks;
        StreamStart expected;
    } cases[] = {
        {"no blocks", {}, StreamStart::NoBlocks},
        {"DA at 8190", {noTag, noTag}, StreamStart::NoDataTag},
        {"tag in lower case", {lowerCase}, StreamStart::NoDataTag},
        {"empty first block", {Bytes{}}, StreamStart::NoDataTag},
    };
    for (const auto& c : cases) {
        openRawTrack(c.blocks);
        testing::internal::CaptureStdout();
        EXPECT_EQ(beginStream(), c.expected) << c.name;
        testing::internal::GetCapturedStdout();
        TearDown();
    }
}

} // namespace

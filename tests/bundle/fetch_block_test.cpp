#include "bundle/fetch_block.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <string>

#include "bundle/track.h"
#include "codec/decoders.h"
#include "tests/support/run_program.h"
#include "tests/support/test_bundle.h"

namespace {

std::string progress(int index, int count) {
    char text[64];
    std::snprintf(text, sizeof text, "\b\b\b\b\b\b\b\b\b\b\b\b\b%6d/%6d", index, count);
    return text;
}

// Four literals and the end marker: codec 10 turns them into A0 10 FA AA.
const Bytes FourLiterals{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};

class FetchBlock : public testing::Test {
  protected:
    void SetUp() override {
        path = makeTempDir() + "/zelvormusic.bun";
        Destination.fill(0x5A);
    }
    void TearDown() override {
        if (BundleFile != nullptr) {
            std::fclose(BundleFile);
            BundleFile = nullptr;
        }
    }

    void open(const Bytes& image) {
        writeFile(path, image);
        testing::internal::CaptureStdout();
        openTrack(path.c_str(), 0x20);
        testing::internal::GetCapturedStdout();
    }

    std::int32_t fetch() {
        testing::internal::CaptureStdout();
        const std::int32_t result = fetchBlock(Destination);
        printed = testing::internal::GetCapturedStdout();
        return result;
    }

    // The quiet fetch the tools and the stream use: it keeps the note.
    std::int32_t fetchNoted() {
        testing::internal::CaptureStdout();
        const BlockFetch result = fetchNextBlock(Destination);
        printed = testing::internal::GetCapturedStdout();
        note = result.note;
        return result.status;
    }

    std::string path;
    std::string printed;
    BlockFetchNote note{};
    std::array<std::uint8_t, StreamBlockSize> Destination{};
};

TEST_F(FetchBlock, WalksTheTableWithProgressAndEndsWithMinusOne) {
    Bytes image;
    placeTrack(image, 0x20, {{Bytes(10, 1), 0}, {Bytes(10, 2), 0}, {Bytes(10, 3), 0}});
    open(image);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fetch(), 0);
        EXPECT_EQ(printed, progress(i, 3));
        EXPECT_EQ(Destination[0], i + 1);
    }
    EXPECT_EQ(fetch(), -1);
    EXPECT_EQ(printed, progress(3, 3));
    EXPECT_EQ(printed, "\b\b\b\b\b\b\b\b\b\b\b\b\b     3/     3");
}

TEST_F(FetchBlock, TrackWithoutBlocksEndsAtOnce) {
    Bytes image;
    placeTrack(image, 0x20, {});
    open(image);
    EXPECT_EQ(fetch(), -1);
    EXPECT_EQ(printed, "\b\b\b\b\b\b\b\b\b\b\b\b\b     0/     0");
    EXPECT_TRUE(
        std::all_of(Destination.begin(), Destination.end(), [](auto b) { return b == 0x5A; }));
}

TEST_F(FetchBlock, DeliversRawAndDecodedBlocksForTheirLength) {
    Bytes raw(StreamBlockSize);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    Bytes image;
    placeTrack(image, 0x20, {{raw, 0}, {FourLiterals, 10}, {FourLiterals, 11}, {FourLiterals, 12}});
    open(image);

    ASSERT_EQ(fetch(), 0);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), Destination.begin()));

    // A decoded block replaces exactly its L bytes; the rest keeps the raw block.
    const struct {
        Bytes expected;
    } decoded[] = {
        {{0xA0, 0x10, 0xFA, 0xAA}}, {{0x05, 0xA0, 0xEA, 0x01}}, {{0xAA, 0xA0, 0x00, 0x1E}}};
    for (const auto& d : decoded) {
        ASSERT_EQ(fetch(), 0);
        EXPECT_EQ(Bytes(Destination.begin(), Destination.begin() + 4), d.expected);
        EXPECT_TRUE(std::equal(raw.begin() + 4, raw.end(), Destination.begin() + 4));
    }
}

TEST_F(FetchBlock, ShortReadReportsTheCutAndDeliversNothing) {
    // Block 0 fills the input buffer with 0xAB; blocks 1 (raw) and 2 (codec
    // 10) claim 100 bytes but the bundle ends 20 bytes into block 1.
    Bytes image;
    placeTrack(image, 0x20, {{Bytes(300, 0xAB), 0}, {Bytes(20, 0xCD), 0}, {Bytes{}, 10}});
    for (std::size_t i = 1; i <= 2; ++i) {
        Bytes entry = tableEntry(16 + 48 + 300, 100, i == 1 ? 0 : 10);
        std::copy(entry.begin(), entry.end(),
                  image.begin() + 0x20 + 16 + 16 * static_cast<std::ptrdiff_t>(i));
    }
    open(image);

    ASSERT_EQ(fetchNoted(), 0);
    for (int block = 1; block <= 2; ++block) {
        SCOPED_TRACE(block);
        EXPECT_EQ(fetchNoted(), BundleEndsInBlock);
        EXPECT_EQ(printed, ""); // the progress text is the player's own
        EXPECT_TRUE(note.readShort);
        // The block 0 delivered is still all there is: the zeros after the
        // bytes read are not passed on.
        EXPECT_TRUE(std::all_of(Destination.begin(), Destination.begin() + 300,
                                [](auto b) { return b == 0xAB; }));
        EXPECT_TRUE(std::all_of(Destination.begin() + 300, Destination.end(),
                                [](auto b) { return b == 0x5A; }));
        EXPECT_TRUE(std::all_of(BlockInputBuffer.begin(), BlockInputBuffer.begin() + 20,
                                [](auto b) { return b == 0xCD; }));
        EXPECT_TRUE(std::all_of(BlockInputBuffer.begin() + 20, BlockInputBuffer.end(),
                                [](auto b) { return b == 0; }));
    }
    // The stored stream of the encoded block ran out with the file.
    EXPECT_TRUE(note.decodeDamaged);
    EXPECT_EQ(fetchNoted(), NoBlockLeft);
}

TEST_F(FetchBlock, OversizedAndNegativeSizesAndFarOffsetsStayInBounds) {
    // One raw block of 200000 bytes in the file; the table points at it with
    // sizes and offsets that do not fit.
    Bytes image;
    Bytes big(200000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i);
    }
    placeTrack(image, 0x20, {{big, 0}, {Bytes{}, 0}, {Bytes{}, 0}, {Bytes{}, 10}});
    const std::uint32_t first = 16 + 4 * 16;
    const Bytes entries[] = {tableEntry(first, 200000, 0), tableEntry(first, 0xFFFFFFFF, 0),
                             tableEntry(0xFFFFFFF0, 50, 0), tableEntry(first, 0x80000000, 10)};
    for (std::size_t i = 0; i < 4; ++i) {
        std::copy(entries[i].begin(), entries[i].end(),
                  image.begin() + 0x20 + 16 + 16 * static_cast<std::ptrdiff_t>(i));
    }
    open(image);

    ASSERT_EQ(fetchNoted(), 0); // cut to the first 8192 of the 131072 bytes that fit
    EXPECT_TRUE(std::equal(Destination.begin(), Destination.end(), big.begin()));
    EXPECT_TRUE(note.storedSizeCut);
    EXPECT_TRUE(note.resultCut);
    EXPECT_FALSE(note.decodeDamaged);
    EXPECT_EQ(BlockInputBuffer[BlockInputSize - 1], static_cast<std::uint8_t>(BlockInputSize - 1));
    ASSERT_EQ(fetchNoted(), 0); // a size at or above 2^31 reads as much as fits
    EXPECT_TRUE(std::equal(Destination.begin(), Destination.end(), big.begin()));
    Destination.fill(0x5A);
    // An offset past the end of the bundle reads nothing and delivers nothing.
    ASSERT_EQ(fetchNoted(), BundleEndsInBlock);
    EXPECT_TRUE(
        std::all_of(Destination.begin(), Destination.end(), [](auto b) { return b == 0x5A; }));
    EXPECT_FALSE(note.storedSizeCut);
    EXPECT_TRUE(note.readShort);
    ASSERT_EQ(fetchNoted(), 0); // raw bytes decoded as codec 10: damaged, still delivered
    EXPECT_TRUE(note.decodeDamaged);
    EXPECT_TRUE(std::equal(Destination.begin(), Destination.end(), DecodeBuffer.begin()));
    EXPECT_EQ(fetchNoted(), -1);
}

} // namespace

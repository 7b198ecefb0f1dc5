// Bundle layout at the catalogue's offsets, refusals, and updates in place.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "driver/catalogue.h"
#include "tests/pack/pack_support.h"
#include "tools/encoder/bundle_write.h"

namespace {

std::uint32_t bigEndian(const std::vector<std::uint8_t>& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

EncodedTrack makeTrack(std::int64_t frames, std::uint32_t seed) {
    EncodedTrack track{};
    std::string error;
    EXPECT_TRUE(encodeTrack(testSignal(frames, seed), HeaderLeadIn, track, error)) << error;
    return track;
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::int64_t at,
                                std::size_t size) {
    return std::vector<std::uint8_t>(bytes.begin() + at,
                                     bytes.begin() + at + static_cast<std::int64_t>(size));
}

std::int64_t rowOffset(std::int32_t row) {
    return TrackCatalogue[static_cast<std::size_t>(row)].streamOffset;
}

class BundleFile : public testing::Test {
  protected:
    void SetUp() override { folder = makeScratchFolder("bundle"); }
    void TearDown() override { std::filesystem::remove_all(folder.path); }
    std::string bundle() const { return (folder.path / "zelvormusic.bun").string(); }
    ScratchFolder folder;
};

TEST_F(BundleFile, HeaderAndTableAtTheRowOffset) {
    const EncodedTrack first = makeTrack(9000, 1);
    const EncodedTrack second = makeTrack(30000, 2);
    const std::vector<TrackUpdate> updates{{3, second.bytes}, {0, first.bytes}};
    std::string error;
    ASSERT_TRUE(writeBundle(bundle(), updates, BundleMode::Fresh, error)) << error;

    const std::vector<std::uint8_t> file = fileBytes(bundle());
    ASSERT_EQ(static_cast<std::int64_t>(file.size()),
              rowOffset(3) + static_cast<std::int64_t>(second.bytes.size()));
    for (const auto& [row, track] : {std::pair{0, &first}, std::pair{3, &second}}) {
        const std::size_t base = static_cast<std::size_t>(rowOffset(row));
        EXPECT_EQ(slice(file, static_cast<std::int64_t>(base), 4),
                  (std::vector<std::uint8_t>{'C', 'O', 'M', 'P'}));
        const std::uint32_t count = bigEndian(file, base + 4);
        ASSERT_EQ(count, static_cast<std::uint32_t>(track->blockCount));
        EXPECT_EQ(bigEndian(file, base + 8), 0u);
        EXPECT_EQ(bigEndian(file, base + 12), 0u);
        std::uint32_t expectedOffset = 16 + 16 * count;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::size_t entry = base + 16 + 16 * k;
            EXPECT_EQ(bigEndian(file, entry), expectedOffset) << "block " << k;
            const std::uint32_t codec = bigEndian(file, entry + 8);
            EXPECT_TRUE(codec == static_cast<std::uint32_t>(
                                     codecForPhase(static_cast<std::int32_t>((24 + k) % 3))) ||
                        codec == 0);
            EXPECT_EQ(bigEndian(file, entry + 12), 0u);
            expectedOffset += bigEndian(file, entry + 4);
        }
        EXPECT_EQ(expectedOffset, track->bytes.size());
        EXPECT_EQ(slice(file, static_cast<std::int64_t>(base), track->bytes.size()), track->bytes);
    }

    std::vector<StoredBlock> blocks;
    ASSERT_TRUE(readTrack(bundle(), 3, blocks, error)) << error;
    EXPECT_EQ(blocks.size(), static_cast<std::size_t>(second.blockCount));
    EXPECT_FALSE(readTrack(bundle(), 1, blocks, error)); // a hole, no header
}

TEST_F(BundleFile, HolesBetweenTracksStaySparse) {
    const EncodedTrack track = makeTrack(5000, 3);
    const std::vector<TrackUpdate> updates{{0, track.bytes}, {83, track.bytes}};
    std::string error;
    ASSERT_TRUE(writeBundle(bundle(), updates, BundleMode::Fresh, error)) << error;
    // Update one row so that the copy of the old bundle is sparse too.
    const std::vector<TrackUpdate> update{{40, track.bytes}};
    ASSERT_TRUE(writeBundle(bundle(), update, BundleMode::Update, error)) << error;
    struct stat info {};
    ASSERT_EQ(stat(bundle().c_str(), &info), 0);
    EXPECT_EQ(info.st_size, rowOffset(83) + static_cast<std::int64_t>(track.bytes.size()));
    EXPECT_LT(static_cast<std::int64_t>(info.st_blocks) * 512, 4 << 20)
        << "a bundle of " << info.st_size << " bytes should hold three small tracks";
}

TEST_F(BundleFile, RefusesATrackThatRunsIntoTheNextRow) {
    const EncodedTrack small = makeTrack(5000, 4);
    std::string error;
    ASSERT_TRUE(writeBundle(bundle(), std::vector<TrackUpdate>{{4, small.bytes}}, BundleMode::Fresh,
                            error));
    const std::vector<std::uint8_t> before = fileBytes(bundle());

    // Row 5 leaves 277402 bytes before row 6.
    std::vector<std::uint8_t> tooBig(static_cast<std::size_t>(rowCapacity(5)) + 1, 0);
    std::vector<std::uint8_t> justFits(static_cast<std::size_t>(rowCapacity(5)), 0);
    EXPECT_FALSE(writeBundle(bundle(), std::vector<TrackUpdate>{{6, small.bytes}, {5, tooBig}},
                             BundleMode::Update, error));
    EXPECT_NE(error.find("would run into the next row"), std::string::npos) << error;
    EXPECT_EQ(fileBytes(bundle()), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path), {}), 1)
        << "no temporary file is left behind";

    EXPECT_FALSE(writeBundle(bundle(), std::vector<TrackUpdate>{{6, small.bytes}, {6, small.bytes}},
                             BundleMode::Update, error));
    EXPECT_FALSE(writeBundle(bundle(), std::vector<TrackUpdate>{{84, small.bytes}},
                             BundleMode::Update, error));
    EXPECT_EQ(fileBytes(bundle()), before);
    EXPECT_TRUE(
        writeBundle(bundle(), std::vector<TrackUpdate>{{5, justFits}}, BundleMode::Update, error))
        << error;
}

TEST_F(BundleFile, UpdateReplacesOneRowAndKeepsTheOthers) {
    const EncodedTrack a = makeTrack(40000, 5);
    const EncodedTrack b = makeTrack(20000, 6);
    const EncodedTrack c = makeTrack(4000, 7);
    std::string error;
    ASSERT_TRUE(writeBundle(bundle(),
                            std::vector<TrackUpdate>{{0, a.bytes}, {2, b.bytes}, {83, c.bytes}},
                            BundleMode::Fresh, error));
    // Something of our own before row 0, which no row owns.
    {
        FILE* f = std::fopen(bundle().c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fputs("lead", f);
        std::fclose(f);
    }
    // A shorter track in row 0: nothing of the longer one may stay behind.
    ASSERT_TRUE(
        writeBundle(bundle(), std::vector<TrackUpdate>{{0, c.bytes}}, BundleMode::Update, error));
    EXPECT_EQ(fileRange(bundle(), 0, 4), (std::vector<std::uint8_t>{'l', 'e', 'a', 'd'}));
    EXPECT_EQ(fileRange(bundle(), rowOffset(0), c.bytes.size()), c.bytes);
    const std::vector<std::uint8_t> rest =
        fileRange(bundle(), rowOffset(0) + static_cast<std::int64_t>(c.bytes.size()),
                  static_cast<std::size_t>(rowOffset(1) - rowOffset(0)) - c.bytes.size());
    EXPECT_TRUE(std::all_of(rest.begin(), rest.end(), [](std::uint8_t x) { return x == 0; }));
    EXPECT_EQ(fileRange(bundle(), rowOffset(2), b.bytes.size()), b.bytes);
    EXPECT_EQ(fileRange(bundle(), rowOffset(83), c.bytes.size()), c.bytes);

    // Replacing the last row cuts the file to the new track's end.
    ASSERT_TRUE(
        writeBundle(bundle(), std::vector<TrackUpdate>{{83, b.bytes}}, BundleMode::Update, error));
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(bundle())),
              rowOffset(83) + static_cast<std::int64_t>(b.bytes.size()));
    EXPECT_EQ(fileRange(bundle(), rowOffset(2), b.bytes.size()), b.bytes);
}

TEST_F(BundleFile, FreshBundleIgnoresAnOldFile) {
    const EncodedTrack a = makeTrack(4000, 8);
    std::string error;
    ASSERT_TRUE(
        writeBundle(bundle(), std::vector<TrackUpdate>{{10, a.bytes}}, BundleMode::Fresh, error));
    ASSERT_TRUE(
        writeBundle(bundle(), std::vector<TrackUpdate>{{1, a.bytes}}, BundleMode::Fresh, error));
    std::vector<StoredBlock> blocks;
    EXPECT_FALSE(readTrack(bundle(), 10, blocks, error));
    EXPECT_TRUE(readTrack(bundle(), 1, blocks, error)) << error;
}

} // namespace

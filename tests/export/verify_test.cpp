// zelvor-export verify against a table of damaged bundles and intact ones.
#include <gtest/gtest.h>

#include <filesystem>

#include "driver/catalogue.h"
#include "tests/export/export_support.h"

namespace {

constexpr std::uint32_t FirstTrackOffset = 0x20;
const std::string FirstTrack = " 0  Abbey (Cloister)       ";

Bytes rawTrack(std::size_t blocks, std::size_t tag = 100) {
    std::vector<TestBlock> stored;
    for (std::size_t i = 0; i < blocks; ++i) {
        stored.push_back({patterned(8192, static_cast<std::uint32_t>(i + 1)), 0});
    }
    if (!stored.empty()) {
        putTag(stored[0].stored, tag);
    }
    return trackBytes(stored);
}

// Bundle image with the track's bytes at the first row.
Bytes atFirstRow(const Bytes& track) {
    Bytes image(FirstTrackOffset + track.size(), 0);
    std::copy(track.begin(), track.end(), image.begin() + FirstTrackOffset);
    return image;
}

void setField(Bytes& image, std::size_t at, std::uint32_t value) {
    Bytes field;
    appendBigEndian32(field, value);
    std::copy(field.begin(), field.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

// Position of a table entry's stored size in an image made by atFirstRow.
std::size_t storedSizeField(std::size_t block) {
    return FirstTrackOffset + 16 + 16 * block + 4;
}

class Verify : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        bundle = directory + "/zelvormusic.bun";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }
    std::string directory;
    std::string bundle;
};

TEST_F(Verify, FindsEachDamageOfTheFirstTrackAndPassesIntactOnes) {
    const Bytes piece = atFirstRow(encodedPiece(21, 3.0));
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> problems; // none: intact
    };
    std::vector<Case> cases;
    cases.push_back({"intact raw track", atFirstRow(rawTrack(3)), {}});
    cases.push_back({"intact encoded piece", piece, {}});
    cases.push_back({"bundle ends before the track",
                     Bytes(FirstTrackOffset, 0),
                     {"no track: the bundle ends, or holds zeros, where its header should begin"}});
    cases.push_back({"zeros where the track should be",
                     Bytes(FirstTrackOffset + 64, 0),
                     {"no track: the bundle ends, or holds zeros, where its header should begin"}});
    {
        Bytes image = atFirstRow(rawTrack(2));
        image[FirstTrackOffset] = 'X';
        cases.push_back(
            {"wrong magic", image, {"wrong header: the bytes 58 4f 4d 50 instead of \"COMP\""}});
    }
    {
        Bytes image = atFirstRow(rawTrack(2));
        image.resize(FirstTrackOffset + 10);
        cases.push_back(
            {"header cut", image, {"track header cut short: the bundle ends inside it"}});
    }
    {
        Bytes image = atFirstRow(rawTrack(3));
        image.resize(FirstTrackOffset + 16 + 16 + 8);
        cases.push_back({"table cut", image, {"block table cut short: the bundle ends inside it"}});
    }
    cases.push_back({"4097 blocks",
                     atFirstRow(trackBytes(std::vector<TestBlock>(4097))),
                     {"too many blocks: more than 4096"}});
    {
        Bytes image = atFirstRow(rawTrack(4));
        setField(image, storedSizeField(2) + 4, 7); // block 2's codec
        cases.push_back(
            {"an entry of codec 7", image, {"1 table entry of an unknown codec dropped"}});
    }
    cases.push_back({"no blocks", atFirstRow(trackBytes({})), {"no blocks"}});
    {
        Bytes image = atFirstRow(trackBytes({{patterned(8192, 22), 0}, {patterned(8192, 23), 0}}));
        setField(image, FirstTrackOffset + 16 + 8, 7); // and block 0 dropped as well
        cases.push_back({"no DATA tag, and a dropped entry",
                         image,
                         {"1 table entry of an unknown codec dropped",
                          "missing \"DATA\": the first block holds no \"DATA\" tag"}});
    }
    {
        Bytes image = piece;
        for (const std::size_t block : {2, 5, 6, 7}) {
            setField(image, storedSizeField(block), 20);
        }
        // The LZ stage goes on over the zeros after the cut and expands too far.
        cases.push_back({"encoded blocks whose stored stream runs out",
                         image,
                         {"blocks 2, 5-7 damaged: the stored stream runs out or expands past the "
                          "buffers",
                          "blocks 2, 5-7 result cut: decodes to more than 8192 bytes"}});
    }
    {
        Bytes first = patterned(8192, 29);
        putTag(first, 0);
        cases.push_back({"raw bytes decoded as codec 10",
                         atFirstRow(trackBytes({{first, 0}, {patterned(8192, 30), 10}})),
                         {"block 1 result cut: decodes to more than 8192 bytes"}});
    }
    {
        Bytes image = atFirstRow(rawTrack(3));
        image.resize(image.size() - 100);
        cases.push_back({"bundle ends inside the last block",
                         image,
                         {"block 2 cut short: the bundle ends inside the block"}});
    }
    {
        Bytes big = patterned(200000, 24);
        Bytes first = patterned(8192, 25);
        putTag(first, 0);
        cases.push_back({"a raw block larger than the input buffer",
                         atFirstRow(trackBytes({{first, 0}, {big, 0}, {first, 0}})),
                         {"block 1 stored size cut: larger than the block input buffer",
                          "block 1 result cut: decodes to more than 8192 bytes"}});
    }
    {
        Bytes first = patterned(8192, 26);
        putTag(first, 0);
        cases.push_back({"a raw block of 9000 bytes",
                         atFirstRow(trackBytes({{first, 0}, {first, 0}, {patterned(9000, 27), 0}})),
                         {"block 2 result cut: decodes to more than 8192 bytes"}});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(bundle, c.image);
        const ProgramRun run = runExporter({"verify", bundle, "0"});
        std::string expected = FirstTrack + (c.problems.empty() ? "ok\n" : "DAMAGED\n");
        for (const std::string& problem : c.problems) {
            expected += "      " + problem + "\n";
        }
        expected += c.problems.empty() ? "1 checked, 0 damaged\n" : "1 checked, 1 damaged\n";
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(run.status, c.problems.empty() ? 0 : 1);
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(Verify, HiddenRowsAreCheckedWhenTheyHoldATrack) {
    const Bytes piece = encodedPiece(28, 2.0);
    Bytes wrongMagic = piece;
    wrongMagic[1] = 'Q';
    const struct {
        const char* name;
        bool hiddenFilled;
        std::vector<std::pair<std::int32_t, Bytes>> replaced;
        int status;
        std::string summary;
        std::string shows;
    } cases[] = {
        {"every row intact",
         true,
         {},
         0,
         "84 checked, 0 damaged\n",
         " -  Abbey 3                ok (hidden row 5)\n"},
        {"hidden rows empty",
         false,
         {},
         0,
         "84 checked, 0 damaged, 22 hidden rows without a track\n",
         " -  Abbey 3                no track (hidden row 5)\n"},
        {"a hidden row damaged",
         true,
         {{5, wrongMagic}},
         1,
         "84 checked, 1 damaged\n",
         " -  Abbey 3                DAMAGED (hidden row 5)\n"
         "      wrong header: the bytes 43 51 4d 50 instead of \"COMP\"\n"},
        {"a visible row missing",
         false,
         {{83, {}}},
         1,
         "84 checked, 1 damaged, 22 hidden rows without a track\n",
         "61  Village 3              DAMAGED\n"
         "      no track: the bundle ends, or holds zeros, where its header should begin\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::int32_t, Bytes>> rows;
        for (std::int32_t row = 0; row < 84; ++row) {
            const bool hidden = TrackCatalogue[static_cast<std::size_t>(row)].hidden != 0;
            if (hidden && !c.hiddenFilled) {
                continue;
            }
            rows.emplace_back(row, piece);
        }
        for (const auto& [row, bytes] : c.replaced) {
            for (auto& [at, track] : rows) {
                if (at == row) {
                    track = bytes;
                }
            }
        }
        writeRows(bundle, rows);
        const ProgramRun run = runExporter({"verify", bundle});
        EXPECT_EQ(run.status, c.status);
        ASSERT_GE(run.out.size(), c.summary.size());
        EXPECT_EQ(run.out.substr(run.out.size() - c.summary.size()), c.summary);
        EXPECT_NE(run.out.find(c.shows), std::string::npos) << run.out;
    }
}

} // namespace

// The whole player, run as a user runs it, playing into ALSA's capture
// configuration: what the device would have played lands in a file.
#include <gtest/gtest.h>
#include <string>

#include "tests/support/run_program.h"
#include "tests/support/stream_model.h"
#include "tests/support/test_bundle.h"
#include "zelvor_version.h"

namespace {

const std::string Banner = "========================= \n"
                           "The Zelvor Soundtrack player              "
                           "ZelvorTrack " ZELVOR_VERSION " for Linux, by its developers\n"
                           "=========================              \n";
const std::string PlayingFirst = Banner + "Playing: Abbey (Cloister)\n\n";
constexpr std::uint32_t FirstTrackOffset = 0x20;

std::string progress(int index, int count) {
    char text[64];
    std::snprintf(text, sizeof text, "\b\b\b\b\b\b\b\b\b\b\b\b\b%6d/%6d", index, count);
    return text;
}

std::string progressOfWholeTrack(int count) {
    std::string text;
    for (int i = 0; i <= count; ++i) {
        text += progress(i, count);
    }
    return text;
}

struct Played {
    ProgramRun run;
    Samples captured;
};

class Playback : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        bundle = directory + "/zelvormusic.bun";
        capture = directory + "/played.raw";
    }

    Played play(const std::vector<TestBlock>& blocks, const char* number = "0") {
        Bytes image;
        placeTrack(image, FirstTrackOffset, blocks);
        writeFile(bundle, image);
        std::remove(capture.c_str());
        Played played;
        played.run = runProgram(
            ZELVOR_PLAYER, {bundle, number},
            {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF, "ZELVOR_CAPTURE_FILE=" + capture}, 60});
        played.captured = samplesFromBytes(readFile(capture));
        return played;
    }

    std::string directory;
    std::string bundle;
    std::string capture;
};

Samples concatenated(const std::vector<Samples>& batches) {
    Samples all;
    for (const Samples& batch : batches) {
        all.insert(all.end(), batch.begin(), batch.end());
    }
    return all;
}

TEST_F(Playback, PlaysExactlyTheStreamsSamples) {
    // Delivered bytes of the three decoded example blocks (four literals and
    // the end marker) for codecs 10, 11 and 12.
    const Bytes fourLiterals{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};
    const Bytes decoded10{0xA0, 0x10, 0xFA, 0xAA};
    const Bytes decoded11{0x05, 0xA0, 0xEA, 0x01};
    const Bytes decoded12{0xAA, 0xA0, 0x00, 0x1E};

    struct Case {
        const char* name;
        std::vector<TestBlock> blocks;
        std::vector<Bytes> delivered;
        std::size_t tag;
    };
    std::vector<Case> cases;
    {
        Bytes first = patterned(8192, 1);
        putTag(first, 0);
        const Bytes triples{0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x08,
                            0x00, 0x00, 0x80, 0x00, 0x12, 0x34, 0x56};
        std::copy(triples.begin(), triples.end(), first.begin() + 8);
        const Bytes second = patterned(8192, 2);
        cases.push_back({"triple examples at the start, tag at 0",
                         {{first, 0}, {second, 0}, {second, 0}},
                         {first, second, second},
                         0});
    }
    {
        Bytes first = patterned(8192, 3);
        putTag(first, 300);
        putTag(first, 600);
        const Bytes next = patterned(8192, 4);
        cases.push_back({"two tags: the first counts",
                         {{first, 0}, {next, 0}, {next, 0}},
                         {first, next, next},
                         300});
    }
    {
        Bytes first = patterned(8192, 5);
        putTag(first, 8188);
        const Bytes next = patterned(8192, 6);
        cases.push_back(
            {"tag at 8188", {{first, 0}, {next, 0}, {next, 0}}, {first, next, next}, 8188});
    }
    {
        Bytes first = patterned(5000, 7);
        putTag(first, 40);
        const Bytes next = patterned(8192, 8);
        const Bytes last = patterned(3000, 9);
        cases.push_back({"short first and last blocks",
                         {{first, 0}, {next, 0}, {next, 0}, {last, 0}},
                         {first, next, next, last},
                         40});
    }
    {
        Bytes first = patterned(8192, 10);
        putTag(first, 8);
        const Bytes next = patterned(8192, 11);
        cases.push_back({"decoded blocks of every codec mixed in",
                         {{first, 0},
                          {fourLiterals, 10},
                          {next, 0},
                          {fourLiterals, 11},
                          {fourLiterals, 12},
                          {next, 0}},
                         {first, decoded10, next, decoded11, decoded12, next},
                         8});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Played played = play(c.blocks);
        const Samples expected = concatenated(wholeBatches(streamSamples(c.delivered, c.tag)));
        EXPECT_EQ(played.run.status, 0);
        EXPECT_EQ(played.run.out,
                  PlayingFirst + progressOfWholeTrack(static_cast<int>(c.blocks.size())) + "\n");
        ASSERT_EQ(played.captured.size(), expected.size());
        EXPECT_TRUE(played.captured == expected);
        // The partial batch at the end is never played.
        EXPECT_LT(played.captured.size(), streamSamples(c.delivered, c.tag).size());
    }
}

TEST_F(Playback, TracksThatCannotPlayEndWithStatusOne) {
    Bytes noTag = patterned(8192, 12);
    noTag[8190] = 0x44;
    noTag[8191] = 0x41;
    const struct {
        const char* name;
        std::vector<TestBlock> blocks;
        std::string after;
    } cases[] = {
        {"no blocks", {}, progress(0, 0)},
        {"DA at 8190 and no tag",
         {{noTag, 0}, {noTag, 0}, {noTag, 0}},
         progress(0, 3) + "No DATA chunk found.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Played played = play(c.blocks);
        EXPECT_EQ(played.run.status, 1);
        EXPECT_EQ(played.run.out, PlayingFirst + c.after);
        EXPECT_TRUE(played.captured.empty());
    }
}

TEST_F(Playback, NoAudioDeviceIsReported) {
    Bytes first = patterned(8192, 13);
    putTag(first, 0);
    Bytes image;
    placeTrack(image, FirstTrackOffset, {{first, 0}, {first, 0}});
    writeFile(bundle, image);
    const ProgramRun run =
        runProgram(ZELVOR_PLAYER, {bundle, "0"}, {{"ALSA_CONFIG_PATH=" ZELVOR_NO_DEVICE_CONF}, 60});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, PlayingFirst + progress(0, 2) + "Can't init audio system...\n");
}

} // namespace

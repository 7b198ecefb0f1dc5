// The whole player, run as a user runs it, playing into ALSA's capture
// configuration: what the device would have played lands in a file.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Where block i of a track laid out by placeTrack begins in the image.
std::size_t blockStart(const std::vector<TestBlock>& blocks, std::size_t i) {
    std::size_t at = FirstTrackOffset + 16 + 16 * blocks.size();
    for (std::size_t b = 0; b < i; ++b) {
        at += blocks[b].stored.size();
    }
    return at;
}

std::string bundleEnds(int block, int count) {
    return "\nThe bundle ends inside block " + std::to_string(block) + " of " +
           std::to_string(count) + "...\n";
}

TEST_F(Playback, ABundleCutShortPlaysTheBlocksBeforeTheCutAndEndsWithStatusOne) {
    Bytes first = patterned(8192, 14);
    putTag(first, 0);
    const Bytes next = patterned(8192, 15);
    // Four literals and the end marker, for codec 10.
    const Bytes encoded{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};
    const std::vector<TestBlock> raw{{first, 0}, {next, 0}, {next, 0}, {next, 0}, {next, 0}};
    const std::vector<TestBlock> mixed{{first, 0}, {next, 0}, {next, 0}, {encoded, 10}, {next, 0}};
    const struct {
        const char* name;
        std::vector<TestBlock> blocks;
        std::size_t cutBlock;
        std::size_t bytesLeft; // of the cut block
    } cases[] = {
        {"inside a later block", raw, 3, 100},
        {"later blocks wholly past the end", raw, 3, 0},
        {"inside an encoded block", mixed, 3, 4},
        {"inside the last block", raw, 4, 8191},
        {"inside the first block, tag and all", raw, 0, 4000},
        {"the first block wholly past the end", raw, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image;
        placeTrack(image, FirstTrackOffset, c.blocks);
        image.resize(blockStart(c.blocks, c.cutBlock) + c.bytesLeft);
        writeFile(bundle, image);
        std::remove(capture.c_str());
        const ProgramRun run = runProgram(
            ZELVOR_PLAYER, {bundle, "0"},
            {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF, "ZELVOR_CAPTURE_FILE=" + capture}, 60});
        const auto count = static_cast<int>(c.blocks.size());
        const auto cut = static_cast<int>(c.cutBlock);
        std::string shown;
        for (int i = 0; i <= cut; ++i) {
            shown += progress(i, count);
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, PlayingFirst + shown + bundleEnds(cut, count));
        EXPECT_EQ(run.err, "");
        // Exactly the whole batches of the blocks before the cut: nothing of
        // the cut block, whose missing bytes would read as zeros (-32768).
        std::vector<Bytes> delivered;
        for (std::size_t b = 0; b < c.cutBlock; ++b) {
            delivered.push_back(c.blocks[b].stored); // raw, all of them
        }
        const Samples captured = samplesFromBytes(readFile(capture));
        const Samples expected =
            delivered.empty() ? Samples{} : concatenated(wholeBatches(streamSamples(delivered, 0)));
        ASSERT_EQ(captured.size(), expected.size());
        EXPECT_TRUE(captured == expected);
    }
}

TEST_F(Playback, ABundleThatIsNoRegularFileIsNotFoundAtOnce) {
    const std::string fifo = directory + "/fifo.bun";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    // Nobody ever writes to the FIFO: an open that waits for a writer hangs
    // until the timeout kills the player.
    const ProgramRun run =
        runProgram(ZELVOR_PLAYER, {fifo, "0"}, {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF}, 5});
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, PlayingFirst + fifo + " not found\n");
    EXPECT_LT(took, 2.0);
}

// The file cut while the paced player plays it in real time: it plays up to
// the block where the file now ends and stops there, without a thump of
// zeros from the missing bytes.
TEST_F(Playback, ABundleCutWhilePlayingStopsAtTheCut) {
    Bytes first = patterned(8192, 16);
    putTag(first, 0);
    // About 5.5 s of sound; the ring takes the first 3.7 s (30 blocks) at
    // once, so the decoding after that is paced by playback.
    std::vector<TestBlock> blocks(44, TestBlock{patterned(8192, 17), 0});
    blocks[0].stored = first;
    Bytes image;
    placeTrack(image, FirstTrackOffset, blocks);
    writeFile(bundle, image);

    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        setenv("ZELVOR_PACED_CAPTURE", capture.c_str(), 1);
        execl(ZELVOR_PACED_PLAYER, ZELVOR_PACED_PLAYER, bundle.c_str(), "0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    fcntl(output[0], F_SETFL, O_NONBLOCK);
    std::string out;
    const auto readOut = [&out, &output] {
        char bytes[4096];
        for (ssize_t got; (got = read(output[0], bytes, sizeof bytes)) > 0;) {
            out.append(bytes, static_cast<std::size_t>(got));
        }
    };
    // Standard output is a pipe, so the progress comes in buffered lumps;
    // the capture shows how far playback has got instead.
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    struct stat status {};
    while ((stat(capture.c_str(), &status) != 0 || status.st_size < 2 * 16384) && elapsed() < 10) {
        usleep(10000);
    }
    ASSERT_GE(status.st_size, 2 * 16384) << "nothing played";
    // Some 0.5 s of playback after the block being decoded now.
    const std::size_t cutBlock = 38;
    ASSERT_EQ(truncate(bundle.c_str(), static_cast<off_t>(blockStart(blocks, cutBlock) + 5000)), 0);

    int waitStatus = 0;
    while (waitpid(child, &waitStatus, WNOHANG) == 0 && elapsed() < 20) {
        readOut();
        usleep(10000);
    }
    if (elapsed() >= 20) {
        kill(child, SIGKILL);
        waitpid(child, &waitStatus, 0);
        FAIL() << "the player did not end";
    }
    readOut();
    close(output[0]);
    ASSERT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(WEXITSTATUS(waitStatus), 1);
    const std::string end = progress(static_cast<int>(cutBlock), static_cast<int>(blocks.size())) +
                            bundleEnds(static_cast<int>(cutBlock), static_cast<int>(blocks.size()));
    EXPECT_TRUE(out.ends_with(end)) << out.substr(out.size() > 80 ? out.size() - 80 : 0);

    const Samples captured = samplesFromBytes(readFile(capture));
    std::vector<Bytes> delivered;
    for (std::size_t b = 0; b < cutBlock; ++b) {
        delivered.push_back(blocks[b].stored);
    }
    const Samples expected = concatenated(wholeBatches(streamSamples(delivered, 0)));
    std::size_t longestRun = 0;
    for (std::size_t i = 0, run = 0; i < captured.size(); ++i) {
        run = captured[i] == -32768 ? run + 1 : 0;
        longestRun = std::max(longestRun, run);
    }
    EXPECT_LT(longestRun, 16u) << "a run of full-scale samples";
    ASSERT_EQ(captured.size(), expected.size());
    EXPECT_TRUE(captured == expected);
}

} // namespace

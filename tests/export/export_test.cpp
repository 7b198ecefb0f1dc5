// zelvor-export list and export, run as a user runs them, against the samples
// the player submits for the same bundle.
#include <algorithm>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sndfile.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/export/export_support.h"

namespace {

class Export : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        bundle = directory + "/zelvormusic.bun";
        output = directory + "/out";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    // What the player submits for track 0, captured through ALSA's file plugin.
    Samples playFirstTrack() {
        const std::string capture = directory + "/played.raw";
        const ProgramRun run = runProgram(
            ZELVOR_PLAYER, {bundle, "0"},
            {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF, "ZELVOR_CAPTURE_FILE=" + capture}, 60});
        EXPECT_EQ(run.status, 0) << run.out;
        return samplesFromBytes(readFile(capture));
    }

    // The frame count that list shows for track 0.
    long long listedFrames() {
        const ProgramRun run = runExporter({"list", bundle});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::size_t line = run.out.find("\n 0  Abbey (Cloister)");
        if (line == std::string::npos) {
            return -1;
        }
        std::istringstream fields(run.out.substr(line + 1 + 27));
        std::string duration;
        long long frames = -1;
        fields >> duration >> frames;
        return frames;
    }

    // The WAV export of track 0: the player's whole batches first, then at
    // most the one partial batch it drops; list counts exactly its frames.
    AudioFile expectExportOfWhatPlayed(const Samples& played) {
        AudioFile exported = readAudio(output + "/00 Abbey (Cloister).wav");
        EXPECT_TRUE(exported.opened);
        EXPECT_GE(exported.samples.size(), played.size());
        if (exported.samples.size() >= played.size()) {
            EXPECT_LT(exported.samples.size() - played.size(), 8192u);
            EXPECT_TRUE(std::equal(played.begin(), played.end(), exported.samples.begin()));
        }
        EXPECT_EQ(listedFrames(), static_cast<long long>(exported.samples.size() / 2));
        return exported;
    }

    std::string directory;
    std::string bundle;
    std::string output;
};

TEST_F(Export, ExportedTrackIsWhatThePlayerSubmitsAndTheBatchItDrops) {
    const Bytes fourLiterals{0x2F, 0x00, 0x0A, 0x14, 0x1E, 0x28, 0x00, 0x00, 0x00};
    struct Case {
        const char* name;
        std::vector<TestBlock> blocks;
        std::vector<Bytes> delivered; // empty: an encoded piece, no model
        std::size_t tag = 0;
    };
    std::vector<Case> cases;
    {
        Bytes first = patterned(8192, 1);
        putTag(first, 8188);
        const Bytes next = patterned(8192, 2);
        const Bytes last = patterned(3000, 3);
        cases.push_back({"tag at 8188, short last block",
                         {{first, 0}, {next, 0}, {next, 0}, {next, 0}, {last, 0}},
                         {first, next, next, next, last},
                         8188});
    }
    {
        Bytes first = patterned(5000, 4);
        putTag(first, 40);
        const Bytes next = patterned(8192, 5);
        cases.push_back({"decoded blocks of every codec between raw ones",
                         {{first, 0},
                          {fourLiterals, 10},
                          {next, 0},
                          {fourLiterals, 11},
                          {fourLiterals, 12},
                          {next, 0}},
                         {first,
                          {0xA0, 0x10, 0xFA, 0xAA},
                          next,
                          {0x05, 0xA0, 0xEA, 0x01},
                          {0xAA, 0xA0, 0x00, 0x1E},
                          next},
                         40});
    }
    {
        Bytes only = patterned(8192, 6);
        putTag(only, 0);
        cases.push_back(
            {"shorter than one batch: the player plays nothing", {{only, 0}}, {only}, 0});
    }
    cases.push_back({"encoded piece", {}, {}, 0});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes track = c.blocks.empty() ? encodedPiece(7, 4.0) : trackBytes(c.blocks);
        writeRows(bundle, {{0, track}});
        std::filesystem::remove_all(output);

        const Samples played = playFirstTrack();
        const ProgramRun run = runExporter({"export", bundle, "0", "-o", output, "-f", "wav"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, output + "/00 Abbey (Cloister).wav\n");
        EXPECT_EQ(run.err, ""); // no progress bar off a terminal
        const AudioFile exported = expectExportOfWhatPlayed(played);
        if (!c.delivered.empty()) {
            const Samples stream = streamSamples(c.delivered, c.tag);
            EXPECT_TRUE(exported.samples == stream);
            EXPECT_GT(exported.samples.size(), played.size()); // the dropped batch is kept
        }
    }
}

TEST_F(Export, ABundleThatEndsInsideTheTrackIsExportedAsFarAsThePlayerPlays) {
    const Bytes piece = encodedPiece(8, 4.0);
    writeRows(bundle, {{0, piece}});
    // A third of the track's bytes missing: the cut lies inside a later block.
    const auto whole = std::filesystem::file_size(bundle);
    std::filesystem::resize_file(bundle, whole - piece.size() / 3);

    const std::string capture = directory + "/played.raw";
    const ProgramRun play = runProgram(
        ZELVOR_PLAYER, {bundle, "0"},
        {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF, "ZELVOR_CAPTURE_FILE=" + capture}, 60});
    EXPECT_EQ(play.status, 1);
    EXPECT_NE(play.out.find("\nThe bundle ends inside block "), std::string::npos) << play.out;
    const Samples played = samplesFromBytes(readFile(capture));
    ASSERT_FALSE(played.empty());

    const ProgramRun run = runExporter({"export", bundle, "0", "-o", output, "-f", "wav"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("warning: track 0: "), std::string::npos) << run.err;
    expectExportOfWhatPlayed(played);

    // Cut inside the first block, nothing plays and nothing is exported.
    const std::size_t firstBlock = std::size_t{piece[16]} << 24 | std::size_t{piece[17]} << 16 |
                                   std::size_t{piece[18]} << 8 | std::size_t{piece[19]};
    std::filesystem::resize_file(bundle, whole - piece.size() + firstBlock + 10);
    const ProgramRun none = runExporter({"export", bundle, "0", "-o", output});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("track 0 not exported: cut short: the bundle ends inside the first "
                            "block"),
              std::string::npos)
        << none.err;
    const ProgramRun verified = runExporter({"verify", bundle, "0"});
    EXPECT_EQ(verified.status, 1);
    // Every block from the first on lies past the cut.
    EXPECT_NE(verified.out.find(" cut short: the bundle ends inside the block"), std::string::npos)
        << verified.out;
    EXPECT_NE(verified.out.find("      blocks 0-"), std::string::npos) << verified.out;
}

TEST_F(Export, FlacAndWavHoldTheSameSamples) {
    // Track 1's stream starts past its only block: a file with no samples.
    Bytes empty = patterned(8192, 10);
    putTag(empty, 8188);
    writeRows(
        bundle,
        {{0, encodedPiece(11, 3.0)}, {1, trackBytes({{empty, 0}})}, {6, encodedPiece(12, 5.0)}});
    for (const char* format : {"flac", "wav"}) {
        const ProgramRun run = runExporter(
            {"export", bundle, "5", "0", "1", "-o", output, "--format", format, "--no-playlist"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string ext = std::string(".") + format;
        EXPECT_EQ(run.out, output + "/05 Bazaar (Morning)" + ext + "\n" + output +
                               "/00 Abbey (Cloister)" + ext + "\n" + output + "/01 Abbey (Crypt)" +
                               ext + "\n");
    }
    EXPECT_EQ(folderNames(output),
              (std::vector<std::string>{"00 Abbey (Cloister).flac", "00 Abbey (Cloister).wav",
                                        "01 Abbey (Crypt).flac", "01 Abbey (Crypt).wav",
                                        "05 Bazaar (Morning).flac", "05 Bazaar (Morning).wav"}));
    const struct {
        const char* title;
        double seconds; // at least
    } tracks[] = {
        {"/00 Abbey (Cloister)", 3.0}, {"/01 Abbey (Crypt)", 0.0}, {"/05 Bazaar (Morning)", 5.0}};
    for (const auto& track : tracks) {
        SCOPED_TRACE(track.title);
        const AudioFile flac = readAudio(output + track.title + ".flac");
        const AudioFile wav = readAudio(output + track.title + ".wav");
        ASSERT_TRUE(flac.opened && wav.opened);
        EXPECT_EQ(flac.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        EXPECT_EQ(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        for (const AudioFile* file : {&flac, &wav}) {
            EXPECT_EQ(file->rate, 22050);
            EXPECT_EQ(file->channels, 2);
        }
        EXPECT_GE(wav.samples.size(), static_cast<std::size_t>(track.seconds * 22050 * 2));
        if (track.seconds == 0.0) {
            EXPECT_TRUE(wav.samples.empty());
        }
        EXPECT_TRUE(flac.samples == wav.samples);
    }
}

TEST_F(Export, TracksThatCannotPlayAreReportedAndTheOthersWritten) {
    Bytes wrongMagic = encodedPiece(13, 3.0);
    wrongMagic[0] = 'X';
    Bytes damaged = encodedPiece(14, 3.0);
    // Block 3's stored size cut to 20 bytes: its stream runs out.
    std::copy_n(Bytes{0, 0, 0, 20}.begin(), 4, damaged.begin() + 16 + 16 * 3 + 4);
    writeRows(bundle, {{0, encodedPiece(15, 3.0)}, {1, wrongMagic}, {2, damaged}});

    const ProgramRun run = runExporter({"export", bundle, "1", "0", "3", "2", "0", "-o", output});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, output + "/00 Abbey (Cloister).flac\n" + output +
                           "/02 Abbey (Bells).flac\n" + output + "/Zelvor Soundtrack.m3u8\n");
    EXPECT_NE(run.err.find("track 1 not exported: wrong header"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("track 3 not exported: no track"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("warning: track 2: 1 block damaged or cut"), std::string::npos)
        << run.err;
    // Nothing of the failed tracks, no temporary file left behind; the
    // playlist holds the tracks that were written.
    EXPECT_EQ(folderNames(output),
              (std::vector<std::string>{"00 Abbey (Cloister).flac", "02 Abbey (Bells).flac",
                                        "Zelvor Soundtrack.m3u8"}));
    const Bytes playlist = readFile(output + "/Zelvor Soundtrack.m3u8");
    EXPECT_EQ(std::string(playlist.begin(), playlist.end()),
              "#EXTM3U\n#EXTINF:3,Abbey (Cloister)\n00 Abbey (Cloister).flac\n"
              "#EXTINF:3,Abbey (Bells)\n02 Abbey (Bells).flac\n");
}

TEST_F(Export, ListShowsEachTracksLengthBlocksAndCodecsOrItsProblem) {
    Bytes first = patterned(8192, 16);
    putTag(first, 100);
    const Bytes next = patterned(8192, 17);
    Bytes wrongMagic = trackBytes({{first, 0}});
    wrongMagic[3] = 'Q';
    writeRows(bundle, {{0, trackBytes({{first, 0}, {next, 0}, {next, 0}})},
                       {1, wrongMagic},
                       {2, encodedPiece(18, 3.0)}});
    const ProgramRun run = runExporter({"list", bundle});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines;
    std::istringstream text(run.out);
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 63u);
    // Stream bytes from 8 after the tag: 8084 + 2 * 8192 = 24468, 8156 triples.
    EXPECT_EQ(lines[1], " 0  Abbey (Cloister)        0:00.369       8156       3  raw");
    EXPECT_EQ(lines[2], " 1  Abbey (Crypt)          cannot play: wrong header: the bytes 43 4f "
                        "4d 51 instead of \"COMP\"");
    EXPECT_NE(lines[3].find("  10 11 12"), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find("cannot play: no track"), std::string::npos) << lines[4];
}

TEST_F(Export, CommandLineMistakesAreRefused) {
    writeRows(bundle, {{0, trackBytes({})}});
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* says;
    } cases[] = {
        {{}, 2, "A subcommand is required"},
        {{"export", bundle}, 2, "tracks is required"},
        {{"export", bundle, "62"}, 2, "from 0 to 61 or all, not '62'"},
        {{"export", bundle, "-1"}, 2, ""},
        {{"export", bundle, "7x"}, 2, "not '7x'"},
        {{"export", bundle, "0", "--format", "aac"}, 2, "aac"},
        {{"export", bundle, "0", "-f", "wav", "-q", "3"}, 2, "no meaning for wav"},
        {{"export", bundle, "0", "-q", "9"}, 2, "whole number from 0 to 8"},
        {{"export", bundle, "0", "-q", "4.5"}, 2, "whole number from 0 to 8"},
        {{"export", bundle, "0", "-f", "opus", "-q", "8"}, 2, "from 12 to 512"},
        {{"export", bundle, "0", "-f", "mp3", "-q", "10"}, 2, "from 0 to 9"},
        {{"export", bundle, "0", "-f", "ogg", "-q", "-1"}, 2, "from 0 to 10"},
        {{"export", bundle, "0", "-f", "ogg", "-q", "x"}, 2, "quality"},
        {{"verify", directory + "/missing.bun"}, 2, "missing.bun"},
        {{"list", directory}, 2, ""},
        {{"play", bundle}, 2, "subcommand"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const ProgramRun run = runExporter(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const ProgramRun help = runExporter({"export", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--format"), std::string::npos);
}

TEST_F(Export, AnInterruptedExportLeavesNoFileBehind) {
    // 4096 raw blocks, over eight minutes of sound, long enough to be caught
    // while it is written; only the last row has room for them.
    Bytes first = patterned(8192, 19);
    putTag(first, 0);
    std::vector<TestBlock> blocks(4096, TestBlock{patterned(8192, 20), 0});
    blocks[0].stored = first;
    writeRows(bundle, {{83, trackBytes(blocks)}});
    std::filesystem::create_directories(output);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(ZELVOR_EXPORT, ZELVOR_EXPORT, "export", bundle.c_str(), "61", "-o", output.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the temporary file to appear, then interrupt.
    bool seen = false;
    for (int wait = 0; wait < 20000 && !seen; ++wait) {
        for (const std::string& name : folderNames(output)) {
            seen = seen || name.ends_with(".part");
        }
        if (!seen) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_TRUE(folderNames(output).empty());
}

} // namespace

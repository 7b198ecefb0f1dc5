// zelvor-export under faults, and both tools with a FIFO for a bundle and a
// standard output that cannot take what they print.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/run_program.h"
#include "tests/tool_faults/tool_fault_support.h"

namespace {

const std::string Flac00 = "00 Abbey (Cloister).flac";
const std::string Flac01 = "01 Abbey (Crypt).flac";
const std::string Playlist = "Zelvor Soundtrack.m3u8";

class ExportFaults : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        bundle = directory + "/b.bun";
        output = directory + "/out";
        errPath = directory + "/err.txt";
        std::filesystem::create_directories(output);
        nullOut = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    void TearDown() override {
        close(nullOut);
        std::filesystem::remove_all(directory);
    }

    // Two tracks long enough to be caught while they are written.
    void writeLongTracks() { writeTracks(bundle, {{0, rawTrack(600)}, {1, rawTrack(600)}}); }
    pid_t startExport(const std::vector<int>& ignored = {}) {
        return startTool(ZELVOR_EXPORT, {"export", bundle, "0", "1", "-o", output}, nullOut,
                         errPath, ignored);
    }
    // Every file in the folder is whole: a track that FLAC's own test
    // accepts, or the playlist naming both, written last.
    void expectWholeFiles() {
        for (const std::string& name : folderNames(output)) {
            SCOPED_TRACE(name);
            if (name == Playlist) {
                const Bytes text = readFile(output + "/" + name);
                const std::string lines(text.begin(), text.end());
                EXPECT_TRUE(lines.starts_with("#EXTM3U\n")) << lines;
                EXPECT_NE(lines.find(Flac00 + "\n"), std::string::npos) << lines;
                EXPECT_TRUE(lines.ends_with(Flac01 + "\n")) << lines;
                continue;
            }
            ASSERT_TRUE(name == Flac00 || name == Flac01);
            const ProgramRun check =
                runProgram("/usr/bin/env", {"flac", "-t", "-s", output + "/" + name}, {{}, 60});
            EXPECT_EQ(check.status, 0) << check.err;
        }
    }

    std::string directory;
    std::string bundle;
    std::string output;
    std::string errPath;
    int nullOut = -1;
};

TEST_F(ExportFaults, ASignalAtAnyMomentLeavesOnlyWholeFiles) {
    writeLongTracks();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runProgram(ZELVOR_EXPORT, {"export", bundle, "0", "1", "-o", output}).status, 0);
    const double span =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::uint32_t randomState = 15;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        int ended = 0;
        int caught = 0;
        for (std::uint32_t round = 0; round < 20; ++round) {
            SCOPED_TRACE(std::string(strsignal(signalNumber)) + ", round " + std::to_string(round));
            std::filesystem::remove_all(output);
            const pid_t child = startExport();
            const int status =
                interruptRun(child, signalNumber, round, span, output, randomState, caught, ended);
            if (!WIFSIGNALED(status)) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << fileText(errPath);
                EXPECT_EQ(folderNames(output),
                          (std::vector<std::string>{Flac00, Flac01, Playlist}));
            }
            if (std::filesystem::exists(output)) {
                for (const std::string& name : folderNames(output)) {
                    EXPECT_TRUE(name == Flac00 || name == Flac01 || name == Playlist) << name;
                }
            }
        }
        EXPECT_GE(ended, 5) << strsignal(signalNumber) << ": too few runs were interrupted";
    }
    if (std::filesystem::exists(output)) {
        expectWholeFiles();
    }
}

TEST_F(ExportFaults, SignalsIgnoredFromTheStartStayIgnored) {
    writeLongTracks();
    const struct {
        const char* name;
        std::vector<int> ignored;
    } cases[] = {
        {"nohup", {SIGHUP}},
        {"background job of a script", {SIGINT, SIGQUIT}},
        {"everything", {SIGINT, SIGTERM, SIGHUP, SIGQUIT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(output);
        const pid_t child = startExport(c.ignored);
        ASSERT_TRUE(awaitTemporary(output, child, 10));
        for (const int signalNumber : c.ignored) {
            kill(child, signalNumber);
        }
        const int status = finishTool(child, 60);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(folderNames(output), (std::vector<std::string>{Flac00, Flac01, Playlist}));
        expectWholeFiles();
    }
}

TEST_F(ExportFaults, AKilledExportsLeftoversGoWithTheNextExportIntoTheFolder) {
    writeLongTracks();
    const pid_t killed = startExport();
    ASSERT_TRUE(awaitTemporary(output, killed, 10));
    kill(killed, SIGKILL);
    finishTool(killed, 10);
    const std::string gone = std::to_string(goneProcess());
    const std::string alive = std::to_string(getpid());
    const struct {
        std::string name;
        bool removed;
    } entries[] = {
        {"." + Flac00 + "." + gone + "-0.part", true},
        {".05 Bazaar (Morning).wav." + gone + "-3.part", true}, // any track, any format
        {"." + Flac01 + "." + alive + "-0.part", false},        // an export still going
        {Flac01 + "." + gone + "-0.part", false},               // not hidden: not ours
        {".notes." + gone + ".part", false},
        {"keep.txt", false},
    };
    std::vector<std::string> expected{Flac00, Flac01, Playlist};
    for (const auto& entry : entries) {
        writeFile(output + "/" + entry.name, Bytes{1, 2, 3});
        if (!entry.removed) {
            expected.push_back(entry.name);
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folderNames(output).size(), 1 + std::size(entries)); // the killed export's too

    const ProgramRun run =
        runProgram(ZELVOR_EXPORT, {"export", bundle, "0", "1", "-o", output}, {{}, 60});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(folderNames(output), expected);
}

TEST_F(ExportFaults, AFifoOrDeviceForABundleIsRefusedWithoutBlocking) {
    const std::string fifo = directory + "/fifo.bun";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string linked = directory + "/linked.bun";
    std::filesystem::create_symlink(fifo, linked);
    const struct {
        const char* tool;
        std::vector<std::string> arguments;
        std::string says;
    } cases[] = {
        {ZELVOR_EXPORT, {"list", fifo}, "zelvor-export: " + fifo + " is not a file\n"},
        {ZELVOR_EXPORT, {"verify", fifo}, "zelvor-export: " + fifo + " is not a file\n"},
        {ZELVOR_EXPORT,
         {"export", fifo, "0", "-o", output},
         "zelvor-export: " + fifo + " is not a file\n"},
        {ZELVOR_EXPORT, {"list", linked}, "zelvor-export: " + linked + " is not a file\n"},
        {ZELVOR_EXPORT, {"list", "/dev/zero"}, "zelvor-export: /dev/zero is not a file\n"},
        {ZELVOR_PACK,
         {fifo, "0=synth:1:1"},
         "zelvor-pack: " + fifo + " is not a regular file\nTry 'zelvor-pack --help'.\n"},
        {ZELVOR_PACK,
         {linked, "0=synth:1:1"},
         "zelvor-pack: " + linked + " is not a regular file\nTry 'zelvor-pack --help'.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const ProgramRun run = runProgram(c.tool, c.arguments, {{}, 10});
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.says);
        EXPECT_EQ(run.out, "");
    }
    struct stat status {};
    ASSERT_EQ(lstat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_TRUE(folderNames(output).empty());
    EXPECT_EQ(folderNames(directory), (std::vector<std::string>{"fifo.bun", "linked.bun", "out"}));
}

TEST_F(ExportFaults, OutputThatCannotBeWrittenFailsAndAClosedPipeEndsQuietly) {
    writeTracks(bundle, {{0, pieceBytes(1, 2.0)}});
    const struct {
        const char* tool;
        std::vector<std::string> arguments;
    } cases[] = {
        {ZELVOR_EXPORT, {"list", bundle}},
        {ZELVOR_EXPORT, {"verify", bundle}},
        {ZELVOR_EXPORT, {"export", bundle, "0", "-o", output}},
        {ZELVOR_EXPORT, {"--help"}},
        {ZELVOR_PACK, {bundle, "1=synth:2:1"}},
        {ZELVOR_PACK, {"--help"}},
    };
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        int status = finishTool(startTool(c.tool, c.arguments, full, errPath), 30);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const std::string program =
            c.tool == std::string(ZELVOR_PACK) ? "zelvor-pack" : "zelvor-export";
        EXPECT_EQ(fileText(errPath),
                  program + ": cannot write to standard output: No space left on device\n");

        // A reader that has gone: the default SIGPIPE ends the tool, or with
        // SIGPIPE ignored it stops by itself; quietly either way.
        for (const bool ignored : {false, true}) {
            int ends[2];
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            close(ends[0]);
            status = finishTool(startTool(c.tool, c.arguments, ends[1], errPath,
                                          ignored ? std::vector<int>{SIGPIPE} : std::vector<int>{}),
                                30);
            close(ends[1]);
            if (ignored) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
            } else {
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
            }
            EXPECT_EQ(fileText(errPath), "");
        }
    }
    close(full);
    EXPECT_TRUE(folderNames(output) == std::vector<std::string>{Flac00});
}

} // namespace

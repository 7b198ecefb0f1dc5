// zelvor-pack under faults: updates of one bundle at the same time, signals
// at any moment, leftovers of killed runs, symbolic links, FIFOs.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/run_program.h"
#include "tests/tool_faults/tool_fault_support.h"

namespace {

constexpr double Seconds = 2.0; // every piece: synth:SEED:2

std::string synth(std::uint32_t seed) {
    return "synth:" + std::to_string(seed) + ":2";
}

class PackFaults : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        music = directory + "/music";
        std::filesystem::create_directories(music);
        bundle = music + "/b.bun";
        errPath = directory + "/err.txt";
        nullOut = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    void TearDown() override {
        close(nullOut);
        std::filesystem::remove_all(directory);
    }

    pid_t startPack(const std::vector<std::string>& arguments, const std::string& err) {
        return startTool(ZELVOR_PACK, arguments, nullOut, err);
    }

    // The visible track holds exactly the piece and plays as it.
    void expectPiece(const std::string& path, std::int32_t number, std::uint32_t seed,
                     double seconds = Seconds) {
        SCOPED_TRACE("track " + std::to_string(number) + ", seed " + std::to_string(seed));
        const Bytes& piece = pieceBytes(seed, seconds);
        EXPECT_TRUE(storedTrack(path, number, piece.size()) == piece);
        const Samples decoded = decodedTrack(path, number);
        const Samples source = pieceSamples(seed, seconds);
        ASSERT_GE(decoded.size(), source.size());
        EXPECT_TRUE(Samples(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(
                                                                   source.size())) == source);
    }

    std::string directory;
    std::string music; // the bundle's folder, nothing else in it
    std::string bundle;
    std::string errPath;
    int nullOut = -1;
};

TEST_F(PackFaults, UpdatesAtTheSameTimeKeepEveryTrack) {
    // A long track at the last row makes each copy of the bundle take a while.
    const Bytes filler = rawTrack(250);
    for (std::uint32_t round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        writeTracks(bundle, {{0, pieceBytes(1, Seconds)}, {61, filler}});
        const std::uint32_t first = 100 + round;
        const std::uint32_t second = 200 + round;
        const pid_t a = startPack({bundle, "3=" + synth(first)}, directory + "/a.txt");
        const pid_t b = startPack({bundle, "4=" + synth(second)}, directory + "/b.txt");
        const int statusA = finishTool(a, 60);
        const int statusB = finishTool(b, 60);
        ASSERT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0)
            << fileText(directory + "/a.txt");
        ASSERT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0)
            << fileText(directory + "/b.txt");
        EXPECT_EQ(folderNames(music), std::vector<std::string>{"b.bun"});
        expectPiece(bundle, 3, first);
        expectPiece(bundle, 4, second);
        expectPiece(bundle, 0, 1);
        EXPECT_TRUE(storedTrack(bundle, 61, filler.size()) == filler);
    }
}

TEST_F(PackFaults, AnUpdateWaitsForTheLockUnlessToldNotTo) {
    writeTracks(bundle, {{0, pieceBytes(1, Seconds)}});
    const int held = open(bundle.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    const ProgramRun refused = runProgram(ZELVOR_PACK, {"--no-wait", bundle, "3=" + synth(5)});
    EXPECT_FALSE(refused.timedOut);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("zelvor-pack: " + bundle + " is being updated by another program"),
              std::string::npos)
        << refused.err;
    EXPECT_TRUE(decodedTrack(bundle, 3).empty());

    const pid_t waiting = startPack({bundle, "3=" + synth(5)}, errPath);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int status = 0;
    EXPECT_EQ(waitpid(waiting, &status, WNOHANG), 0) << "did not wait for the lock";
    EXPECT_TRUE(decodedTrack(bundle, 3).empty());
    close(held);
    status = finishTool(waiting, 30);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << fileText(errPath);
    expectPiece(bundle, 3, 5);
    expectPiece(bundle, 0, 1);
    EXPECT_EQ(folderNames(music), std::vector<std::string>{"b.bun"});
}

TEST_F(PackFaults, ASignalAtAnyMomentLeavesTheOldBundleOrTheNewAndNothingElse) {
    const Bytes filler = rawTrack(1000);
    constexpr double Short = 1.0; // track 3's pieces: many are encoded here
    writeTracks(bundle, {{0, pieceBytes(1, Seconds)}, {3, pieceBytes(2, Short)}, {61, filler}});
    // One undisturbed run gives the span over which the signals are spread.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runProgram(ZELVOR_PACK, {bundle, "3=synth:3:1"}).status, 0);
    const double span =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::uint32_t current = 3; // the piece now at track 3
    std::uint32_t randomState = 15;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        int ended = 0;
        int caught = 0; // signalled while its temporary file was there
        for (std::uint32_t round = 0; round < 20; ++round) {
            SCOPED_TRACE(std::string(strsignal(signalNumber)) + ", round " + std::to_string(round));
            const std::uint32_t next = 1000 * static_cast<std::uint32_t>(signalNumber) + round;
            const pid_t child =
                startPack({bundle, "3=synth:" + std::to_string(next) + ":1"}, errPath);
            const int status =
                interruptRun(child, signalNumber, round, span, music, randomState, caught, ended);
            if (!WIFSIGNALED(status)) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << fileText(errPath);
            }
            EXPECT_EQ(folderNames(music), std::vector<std::string>{"b.bun"});
            // A signal after the rename ends a run whose update is done.
            const Bytes& now = pieceBytes(next, Short);
            const bool updated = storedTrack(bundle, 3, now.size()) == now;
            EXPECT_TRUE(updated || WIFSIGNALED(status));
            if (updated) {
                current = next;
            }
            const Bytes& piece = pieceBytes(current, Short);
            EXPECT_TRUE(storedTrack(bundle, 3, piece.size()) == piece);
            EXPECT_TRUE(storedTrack(bundle, 0, pieceBytes(1, Seconds).size()) ==
                        pieceBytes(1, Seconds));
        }
        EXPECT_GE(ended, 5) << strsignal(signalNumber) << ": too few runs were interrupted";
        EXPECT_GE(caught, 3) << strsignal(signalNumber) << ": temporary file seldom seen";
    }
    expectPiece(bundle, 3, current, Short);
    EXPECT_TRUE(storedTrack(bundle, 61, filler.size()) == filler);
}

TEST_F(PackFaults, LeftoversOfKilledRunsAreRemovedByTheNextRunOfEitherTool) {
    const Bytes filler = rawTrack(250);
    writeTracks(bundle, {{0, pieceBytes(1, Seconds)}, {61, filler}});
    const std::string gone = std::to_string(goneProcess());
    const std::string alive = std::to_string(getpid());
    const struct {
        std::string name;
        bool removed;
    } entries[] = {
        {".b.bun." + gone + "-0.part", true},
        {".b.bun." + gone + "-7.part", true},
        {".b.bun." + alive + "-0.part", false}, // a run still going
        {".c.bun." + gone + "-0.part", false},  // another bundle's
        {"b.bun." + gone + "-0.part", false},   // not our naming
        {".b.bun." + gone + "-x.part", false},  // nor this
        {".b.bun.part", false},
    };
    const struct {
        const char* tool;
        std::vector<std::string> arguments;
    } runs[] = {
        {ZELVOR_PACK, {bundle, "2=" + synth(7)}},
        {ZELVOR_EXPORT, {"list", bundle}},
        {ZELVOR_EXPORT, {"verify", bundle, "0"}},
        {ZELVOR_EXPORT, {"export", bundle, "0", "-o", directory + "/out"}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(testing::PrintToString(run.arguments));
        // What a SIGKILL leaves: a temporary file nothing removes at once.
        const pid_t killed = startPack({bundle, "3=" + synth(9)}, errPath);
        ASSERT_TRUE(awaitTemporary(music, killed, 10));
        kill(killed, SIGKILL);
        finishTool(killed, 10);
        std::vector<std::string> expected{"b.bun"};
        for (const auto& entry : entries) {
            writeFile(music + "/" + entry.name, Bytes{1, 2, 3});
            if (!entry.removed) {
                expected.push_back(entry.name);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(folderNames(music).size(), 2 + std::size(entries)); // the killed run's too

        const ProgramRun done = runProgram(run.tool, run.arguments);
        EXPECT_EQ(done.status, 0) << done.err;
        EXPECT_EQ(folderNames(music), expected);
        for (const auto& entry : entries) {
            std::filesystem::remove(music + "/" + entry.name);
        }
    }
    expectPiece(bundle, 0, 1);
    expectPiece(bundle, 2, 7);
}

TEST_F(PackFaults, ASymbolicLinkStaysAndTheFileItNamesIsUpdated) {
    std::filesystem::create_directories(directory + "/disc/zelvor");
    const std::string real = directory + "/disc/zelvor/zelvormusic.bun";
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links; // link, its text
        bool exists;
    } cases[] = {
        {"relative link", {{music + "/b.bun", "../disc/zelvor/zelvormusic.bun"}}, true},
        {"absolute link", {{music + "/b.bun", real}}, true},
        {"chain of links",
         {{music + "/b.bun", "c.bun"}, {music + "/c.bun", "../disc/zelvor/zelvormusic.bun"}},
         true},
        {"link to a file not there yet", {{music + "/b.bun", real}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(music);
        std::filesystem::create_directories(music);
        std::filesystem::remove(real);
        if (c.exists) {
            writeTracks(real, {{0, pieceBytes(1, Seconds)}});
            chmod(real.c_str(), 0640);
        }
        for (const auto& [link, text] : c.links) {
            std::filesystem::create_symlink(text, link);
        }
        const ProgramRun run = runProgram(ZELVOR_PACK, {bundle, "3=" + synth(4)});
        ASSERT_EQ(run.status, 0) << run.err;
        for (const auto& [link, text] : c.links) {
            EXPECT_TRUE(std::filesystem::is_symlink(link));
            EXPECT_EQ(std::filesystem::read_symlink(link).string(), text);
        }
        expectPiece(real, 3, 4);
        if (c.exists) {
            expectPiece(real, 0, 1);
            struct stat status {};
            ASSERT_EQ(stat(real.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0640u);
        }
        EXPECT_EQ(folderNames(directory + "/disc/zelvor"),
                  std::vector<std::string>{"zelvormusic.bun"});
        EXPECT_EQ(folderNames(music).size(), c.links.size());
    }
}

} // namespace

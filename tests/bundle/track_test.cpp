#include "bundle/track.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/run_program.h"
#include "tests/support/test_bundle.h"

namespace {

struct OpenOutcome {
    std::string out;
    int status = -1;
};

// openTrack ends the process on failure, so each failing case runs it in a
// child and collects what it printed and its exit status.
OpenOutcome openInChild(const std::string& path, std::uint32_t streamOffset) {
    int output[2];
    EXPECT_EQ(pipe(output), 0);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        // An open that blocks fails the case instead of hanging the test.
        alarm(5);
        openTrack(path.c_str(), streamOffset);
        std::printf("[opened %d blocks]", Blocks.count);
        std::fflush(stdout);
        _exit(0);
    }
    close(output[1]);
    OpenOutcome outcome;
    char chunk[4096];
    for (ssize_t got; (got = read(output[0], chunk, sizeof chunk)) > 0;) {
        outcome.out.append(chunk, static_cast<std::size_t>(got));
    }
    close(output[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class OpenTrack : public testing::Test {
  protected:
    void SetUp() override { bundle = makeTempDir() + "/zelvormusic.bun"; }

    // A track at offset 0x20 whose table holds the given raw entries.
    void writeTable(const std::vector<Bytes>& entries, std::uint32_t declaredCount) {
        Bytes image(0x20, 0xEE);
        const Bytes magic{'C', 'O', 'M', 'P'};
        image.insert(image.end(), magic.begin(), magic.end());
        appendBigEndian32(image, declaredCount);
        image.resize(image.size() + 8, 0x77);
        for (const Bytes& entry : entries) {
            image.insert(image.end(), entry.begin(), entry.end());
        }
        writeFile(bundle, image);
    }

    void openHere() {
        testing::internal::CaptureStdout();
        openTrack(bundle.c_str(), 0x20);
        printed = testing::internal::GetCapturedStdout();
    }

    std::string bundle;
    std::string printed;
};

TEST_F(OpenTrack, LoadsBigEndianEntriesAsAbsoluteOffsets) {
    writeTable({tableEntry(0x10, 0x01020304, 10), tableEntry(0x0A0B0C0D, 8192, 0),
                tableEntry(0xFFFFFFF0, 0xFFFFFFFF, 12)},
               3);
    openHere();
    EXPECT_EQ(printed, "");
    ASSERT_EQ(Blocks.count, 3);
    EXPECT_EQ(Blocks.nextIndex, 0);
    EXPECT_EQ(Blocks.absoluteOffset[0], 0x20 + 0x10); // right after the header
    EXPECT_EQ(Blocks.storedSize[0], 0x01020304);
    EXPECT_EQ(Blocks.codec[0], 10);
    EXPECT_EQ(Blocks.absoluteOffset[1], 0x20 + 0x0A0B0C0D);
    EXPECT_EQ(Blocks.codec[1], 0);
    // Fields at or above 2^31: the offset sum must not wrap, the size reads negative.
    EXPECT_EQ(Blocks.absoluteOffset[2], std::int64_t{0x20} + 0xFFFFFFF0);
    EXPECT_EQ(Blocks.storedSize[2], -1);
    EXPECT_EQ(Blocks.codec[2], 12);
}

TEST_F(OpenTrack, TrackWithoutBlocksOpens) {
    writeTable({}, 0);
    openHere();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(Blocks.count, 0);
    EXPECT_EQ(Blocks.nextIndex, 0);
}

TEST_F(OpenTrack, UnknownCodecIsDroppedAndReadingGoesOn) {
    writeTable({tableEntry(0x100, 1, 0), tableEntry(0x200, 2, 7), tableEntry(0x300, 3, 11),
                tableEntry(0x400, 4, 0x80000001)},
               4);
    openHere();
    EXPECT_EQ(printed, "Out of type range: 7!\nOut of type range: -2147483647!\n");
    ASSERT_EQ(Blocks.count, 2);
    EXPECT_EQ(Blocks.storedSize[0], 1);
    EXPECT_EQ(Blocks.storedSize[1], 3); // took the place of the dropped entry
    EXPECT_EQ(Blocks.codec[1], 11);
}

// The tools' load: the same table, nothing printed, the drops and the magic
// returned; a drop before the table is cut short still counts.
TEST_F(OpenTrack, QuietLoadReturnsWhatItFound) {
    const struct {
        const char* name;
        std::uint32_t declared;
        TrackLoad outcome;
        std::int32_t blocks;
    } cases[] = {{"whole", 4, TrackLoad::Loaded, 2}, {"cut", 5, TrackLoad::TableCut, 2}};
    for (const auto& c : cases) {
        writeTable({tableEntry(0x100, 1, 0), tableEntry(0x200, 2, 7), tableEntry(0x300, 3, 11),
                    tableEntry(0x400, 4, 0x80000001)},
                   c.declared);
        std::FILE* const file = std::fopen(bundle.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        testing::internal::CaptureStdout();
        const TrackOpening opening = loadTrack(file, 0x20);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.name;
        EXPECT_EQ(opening.outcome, c.outcome) << c.name;
        EXPECT_EQ(opening.magic, 0x504D4F43u) << c.name; // "COMP" read little-endian
        EXPECT_EQ(opening.droppedEntries, 2) << c.name;
        EXPECT_EQ(opening.droppedCodec, -2147483647) << c.name;
        EXPECT_EQ(Blocks.count, c.blocks) << c.name;
        EXPECT_EQ(BundleFile, file) << c.name;
        std::fclose(file);
        BundleFile = nullptr;
    }
}

TEST_F(OpenTrack, ExactlyTheBlockLimitLoads) {
    writeTable(std::vector<Bytes>(MaxBlocks, tableEntry(0x10, 8192, 10)), MaxBlocks);
    openHere();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(Blocks.count, MaxBlocks);
}

TEST_F(OpenTrack, OneEntryPastTheLimitEndsTheRunWhateverItsCodec) {
    for (const std::uint32_t lastCodec : {10u, 7u}) {
        std::vector<Bytes> entries(MaxBlocks, tableEntry(0x10, 8192, 0));
        entries.push_back(tableEntry(0x10, 8192, lastCodec));
        writeTable(entries, MaxBlocks + 1);
        const OpenOutcome outcome = openInChild(bundle, 0x20);
        EXPECT_EQ(outcome.out, "Out of block slots!\n") << "codec " << lastCodec;
        EXPECT_EQ(outcome.status, 1);
    }
}

TEST_F(OpenTrack, FailuresPrintTheirMessageAndEndWithStatusOne) {
    const std::string youMust =
        "You must point at X:\\zelvor\\zelvormusic.bun, where X is your CDROM drive!\n";
    const struct {
        const char* name;
        Bytes image; // what lies at offset 0x20
        std::string expected;
    } cases[] = {
        {"wrong magic",
         {'R', 'I', 'F', 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "Magic: 46464952!\n" + youMust},
        {"magic without leading zeros",
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "Magic: 1!\n" + youMust},
        {"wrong magic in a short file", {'c', 'o', 'm', 'p', 0}, "Magic: 706d6f63!\n" + youMust},
        {"cut inside the header",
         {'C', 'O', 'M', 'P', 0, 0, 0, 1, 0},
         "@: track header cut short!\n"},
        {"cut inside the magic", {'C', 'O'}, "@: track header cut short!\n"},
        {"nothing at the offset", {}, "@: track header cut short!\n"},
        {"cut inside the table",
         [] {
             Bytes b{'C', 'O', 'M', 'P', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
             const Bytes entry = tableEntry(0x30, 10, 0);
             b.insert(b.end(), entry.begin(), entry.end());
             b.insert(b.end(), entry.begin(), entry.begin() + 9);
             return b;
         }(),
         "@: block table cut short!\n"},
    };
    for (const auto& c : cases) {
        Bytes image(0x20, 0);
        image.insert(image.end(), c.image.begin(), c.image.end());
        writeFile(bundle, image);
        std::string expected = c.expected;
        if (expected[0] == '@') {
            expected.replace(0, 1, bundle);
        }
        const OpenOutcome outcome = openInChild(bundle, 0x20);
        EXPECT_EQ(outcome.out, expected) << c.name;
        EXPECT_EQ(outcome.status, 1) << c.name;
    }
}

TEST_F(OpenTrack, MissingBundleIsNamed) {
    const std::string missing = bundle + ".nowhere";
    const OpenOutcome outcome = openInChild(missing, 0x20);
    EXPECT_EQ(outcome.out, missing + " not found\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(OpenTrack, WhatIsNoRegularFileIsNotFoundWithoutWaiting) {
    writeTable({}, 0);
    const std::string directory = bundle.substr(0, bundle.rfind('/'));
    const std::string fifo = directory + "/fifo.bun";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string link = directory + "/link.bun";
    ASSERT_EQ(symlink(bundle.c_str(), link.c_str()), 0);
    const struct {
        const char* name;
        std::string path;
        bool opens;
    } cases[] = {
        // Nobody writes to it: a plain open would wait for a writer for ever.
        {"FIFO", fifo, false},
        {"directory", directory, false},
        {"character device", "/dev/zero", false},
        {"symbolic link to the bundle", link, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const OpenOutcome outcome = openInChild(c.path, 0x20);
        if (c.opens) {
            EXPECT_EQ(outcome.out, "[opened 0 blocks]");
            EXPECT_EQ(outcome.status, 0);
        } else {
            EXPECT_EQ(outcome.out, c.path + " not found\n");
            EXPECT_EQ(outcome.status, 1);
        }
    }
}

} // namespace

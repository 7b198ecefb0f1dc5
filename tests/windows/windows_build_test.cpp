// ZelvorTrack.exe under Wine against the Linux build: the same texts and
// exit statuses for every kind of command line, and the same samples, byte
// for byte, for every codec and grid phase and for blocks past 2 and 4 GiB.
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

#include "driver/catalogue.h"
#include "tests/support/stream_model.h"
#include "tests/windows/wine_run.h"
#include "tools/encoder/block_encode.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

namespace {

// Writes bytes at offset of the file, making it as needed; what lies between
// the pieces written stays a hole.
void writeAt(const std::string& path, std::uint64_t offset, const Bytes& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// A track of these blocks at the catalogue offset of track number.
void writeTrack(const std::string& path, std::int32_t number,
                const std::vector<TestBlock>& blocks) {
    Bytes track;
    placeTrack(track, 0, blocks);
    writeAt(path, rowForNumber(number).streamOffset, track);
}

// Raw blocks whose first holds the tag at 0.
std::vector<TestBlock> rawBlocks(int count, std::uint32_t seed) {
    std::vector<TestBlock> blocks;
    for (int i = 0; i < count; ++i) {
        blocks.push_back({patterned(8192, seed + static_cast<std::uint32_t>(i)), 0});
    }
    putTag(blocks[0].stored, 0);
    return blocks;
}

// The whole batches the player plays of the blocks' delivered bytes.
Samples wholeBatchesOf(const std::vector<Bytes>& delivered, std::size_t tag) {
    Samples all;
    for (const Samples& batch : wholeBatches(streamSamples(delivered, tag))) {
        all.insert(all.end(), batch.begin(), batch.end());
    }
    return all;
}

class WindowsBuild : public testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = windowsRunMissing();
        ASSERT_TRUE(missing.empty()) << missing;
        directory = makeTempDir();
        // Both builds are given relative paths, which name the same file on
        // both and print the same.
        previous = std::filesystem::current_path();
        std::filesystem::current_path(directory);
    }
    void TearDown() override {
        if (!previous.empty()) {
            std::filesystem::current_path(previous);
            std::filesystem::remove_all(directory);
        }
    }

    // Both builds, the same arguments: the same output, status and samples.
    BothRuns expectSame(const std::vector<std::string>& arguments) {
        BothRuns runs = runBoth(arguments, directory);
        EXPECT_FALSE(runs.linuxRun.timedOut);
        EXPECT_FALSE(runs.windowsRun.timedOut);
        EXPECT_NE(runs.windowsRun.out.find(creditLine("Windows")), std::string::npos)
            << runs.windowsRun.out;
        EXPECT_EQ(asLinuxOutput(runs.windowsRun.out), runs.linuxRun.out);
        EXPECT_EQ(runs.windowsRun.status, runs.linuxRun.status);
        EXPECT_TRUE(runs.samplesMatch) << runs.difference.text << "\n" << runs.note;
        return runs;
    }

    std::string directory;
    std::filesystem::path previous;
};

TEST_F(WindowsBuild, ImportsOnlySystemDlls) {
    ASSERT_EQ(access(ZELVOR_MINGW_OBJDUMP, X_OK), 0)
        << "x86_64-w64-mingw32-objdump is missing: scripts/install-deps installs it";
    const ProgramRun run = runProgram(ZELVOR_MINGW_OBJDUMP, {"-p", ZELVOR_WINDOWS_PLAYER});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("PE32+"), std::string::npos) << "not a 64-bit program";
    std::set<std::string> imported;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const std::string tag = "DLL Name: ";
        if (const std::size_t at = line.find(tag); at != std::string::npos) {
            std::string name = line.substr(at + tag.size());
            for (char& c : name) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            imported.insert(name);
        }
    }
    // No libstdc++, libgcc or winpthread DLL: the compiler's runtime is linked in.
    EXPECT_EQ(imported, (std::set<std::string>{"KERNEL32.DLL", "MSVCRT.DLL", "WINMM.DLL"}));
}

TEST_F(WindowsBuild, CommandLinesGiveTheLinuxTextsAndStatuses) {
    // A bundle with tracks 0 and 7, and one damaged bundle for each way the
    // track header or table can be wrong.
    writeTrack("zelvormusic.bun", 0, rawBlocks(4, 100));
    writeTrack("zelvormusic.bun", 7, rawBlocks(3, 200));
    std::vector<TestBlock> wrongMagic = rawBlocks(2, 300);
    writeTrack("wrong_magic.bun", 0, wrongMagic);
    writeAt("wrong_magic.bun", rowForNumber(0).streamOffset, {'C', 'O', 'M', 'X'});
    {
        Bytes track;
        placeTrack(track, 0, rawBlocks(5, 400));
        track.resize(16 + 2 * 16 + 7); // the table ends inside its third entry
        writeAt("table_cut.bun", rowForNumber(0).streamOffset, track);
    }
    std::vector<TestBlock> oddCodec = rawBlocks(4, 500);
    oddCodec[1].codec = 7;
    writeTrack("odd_codec.bun", 0, oddCodec);

    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {"no arguments", {}, 0},
        {"three arguments", {"zelvormusic.bun", "0", "1"}, 0},
        {"62, one past the last", {"zelvormusic.bun", "62"}, 1},
        {"-1", {"zelvormusic.bun", "-1"}, 1},
        {"7x plays track 7", {"zelvormusic.bun", "7x"}, 0},
        {"a missing bundle", {"missing.bun", "0"}, 1},
        {"a wrong magic", {"wrong_magic.bun", "0"}, 1},
        {"a table cut short", {"table_cut.bun", "0"}, 1},
        {"a codec outside the set", {"odd_codec.bun", "0"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const BothRuns runs = expectSame(c.arguments);
        EXPECT_EQ(runs.linuxRun.status, c.status) << runs.linuxRun.out;
    }
}

TEST_F(WindowsBuild, PlaysEveryCodecAndGridPhaseAsTheLinuxBuild) {
    // Four and a half seconds of music, more than the ring holds: blocks
    // encoded with the codec of their grid phase (10, 12 and 11 in turn),
    // some stored raw, and a short raw block at the end.
    const std::vector<StereoValue> frames = synthesisePiece(13, 4.5, false);
    std::vector<std::uint8_t> stream = buildStream(frames, HeaderLeadIn);
    const std::int32_t dataStart = streamDataStart(HeaderLeadIn);
    // Past the music the encoder writes silence; noise there instead makes
    // a final partial batch that must not be played, and could not pass for
    // the zeros that Wine may add after the end.
    const auto musicEnd = static_cast<std::size_t>(
        dataStart + 3 * paddedFrames(static_cast<std::int64_t>(frames.size())));
    ASSERT_LT(musicEnd, stream.size());
    const Bytes noise = patterned(stream.size() - musicEnd, 77);
    std::copy(noise.begin(), noise.end(), stream.begin() + static_cast<std::ptrdiff_t>(musicEnd));
    const std::size_t blockCount = stream.size() / BlockBytes;
    std::vector<TestBlock> blocks;
    std::vector<Bytes> delivered;
    std::set<std::pair<std::uint32_t, std::int32_t>> codecAndPhase;
    for (std::size_t k = 0; k < blockCount; ++k) {
        StreamBlock block{};
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(k * BlockBytes), BlockBytes,
                    block.begin());
        const auto phase = static_cast<std::int32_t>(
            ((dataStart - static_cast<std::int64_t>(k * BlockBytes)) % 3 + 3) % 3);
        if (k + 1 == blockCount) {
            blocks.push_back({Bytes(block.begin(), block.begin() + 5000), 0});
        } else if (k % 7 == 3 || k % 7 == 4 || k % 7 == 5) {
            blocks.push_back({Bytes(block.begin(), block.end()), 0});
        } else {
            const std::int32_t codec = codecForPhase(phase);
            blocks.push_back({encodeBlock(codec, block), static_cast<std::uint32_t>(codec)});
        }
        codecAndPhase.insert({blocks.back().codec, phase});
        delivered.emplace_back(block.begin(),
                               k + 1 == blockCount ? block.begin() + 5000 : block.end());
    }
    for (const std::uint32_t codec : {0u, 10u, 11u, 12u}) {
        for (std::int32_t phase = 0; phase < 3; ++phase) {
            if (codec == 0 || codecForPhase(phase) == static_cast<std::int32_t>(codec)) {
                ASSERT_TRUE(codecAndPhase.contains({codec, phase}))
                    << "codec " << codec << " phase " << phase;
            }
        }
    }
    writeTrack("zelvormusic.bun", 0, blocks);

    const BothRuns runs = expectSame({"zelvormusic.bun", "0"});
    EXPECT_EQ(runs.linuxRun.status, 0);
    EXPECT_EQ(samplesFromBytes(runs.linuxCapture), wholeBatchesOf(delivered, HeaderLeadIn));
    EXPECT_GT(runs.linuxCapture.size(), 20u * 16384u) << "the ring never went round";
}

TEST_F(WindowsBuild, ReadsBlocksPast2And4GiB) {
    // Block offsets in the table reach past 2 GiB, where a 32-bit file offset
    // turns negative, and across 4 GiB, where it wraps; the file is sparse.
    const std::uint32_t trackOffset = rowForNumber(0).streamOffset;
    const struct {
        std::uint32_t blockOffset;
        std::uint32_t seed;
    } placed[] = {
        {0x70, 600},        // right after the table
        {0x80000100, 601},  // past 2 GiB
        {0xFFFFF000, 602},  // across 4 GiB
        {0xC0000000, 603},  // at 3 GiB
        {0x70 + 8192, 604}, // back near the start
        {0x9000FFFD, 605},  // past 2 GiB, at an odd place
    };
    Bytes header{'C', 'O', 'M', 'P'};
    appendBigEndian32(header, std::size(placed));
    appendBigEndian32(header, 0);
    appendBigEndian32(header, 0);
    std::vector<Bytes> delivered;
    for (const auto& block : placed) {
        Bytes stored = patterned(8192, block.seed);
        if (delivered.empty()) {
            putTag(stored, 0);
        }
        const Bytes entry = tableEntry(block.blockOffset, 8192, 0);
        header.insert(header.end(), entry.begin(), entry.end());
        writeAt("zelvormusic.bun", std::uint64_t{trackOffset} + block.blockOffset, stored);
        delivered.push_back(stored);
    }
    ASSERT_EQ(header.size(), 0x70u);
    writeAt("zelvormusic.bun", trackOffset, header);
    ASSERT_GT(std::filesystem::file_size("zelvormusic.bun"), 0x100000000u);

    const BothRuns runs = expectSame({"zelvormusic.bun", "0"});
    EXPECT_EQ(runs.linuxRun.status, 0);
    EXPECT_EQ(samplesFromBytes(runs.linuxCapture), wholeBatchesOf(delivered, 0));
}

// The one difference that may be played again: a run of zero frames that
// Wine wrote in addition, anywhere; everything else is a failure.
TEST(CaptureComparison, OnlyAnInsertedRunOfZeroFramesIsForgiven) {
    const Bytes frames = patterned(4 * 64, 31);
    const auto at = [&frames](std::size_t frame) {
        return frames.begin() + static_cast<std::ptrdiff_t>(4 * frame);
    };
    const auto with = [](Bytes bytes, std::size_t offset, const Bytes& inserted) {
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(offset), inserted.begin(),
                     inserted.end());
        return bytes;
    };
    Bytes changed = frames;
    changed[4 * 20 + 1] ^= 1;
    Bytes zeroed = frames;
    std::fill(zeroed.begin() + 4 * 10, zeroed.begin() + 4 * 12, 0);
    const struct {
        const char* name;
        Bytes windows;
        bool equal;
        bool zerosInserted;
        std::size_t atFrame;
        std::size_t count;
        bool atEnd;
    } cases[] = {
        {"equal", frames, true, false, 0, 0, false},
        {"zeros inside", with(frames, 4 * 17, Bytes(4 * 5, 0)), false, true, 17, 5, false},
        {"zeros at the start", with(frames, 0, Bytes(4 * 3, 0)), false, true, 0, 3, false},
        {"zeros after the end", with(frames, frames.size(), Bytes(4, 0)), false, true, 64, 1, true},
        {"a changed byte", changed, false, false, 0, 0, false},
        {"frames zeroed, none inserted", zeroed, false, false, 0, 0, false},
        {"other frames inserted", with(frames, 4 * 17, Bytes(4 * 5, 1)), false, false, 0, 0, false},
        {"zeros less than a frame", with(frames, 4 * 17, Bytes(2, 0)), false, false, 0, 0, false},
        {"frames missing", Bytes(frames.begin(), at(60)), false, false, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CaptureDifference difference = compareCaptures(frames, c.windows);
        EXPECT_EQ(difference.equal, c.equal);
        EXPECT_EQ(difference.zerosInserted, c.zerosInserted) << difference.text;
        if (c.zerosInserted) {
            EXPECT_EQ(difference.atFrame, c.atFrame);
            EXPECT_EQ(difference.frames, c.count);
            EXPECT_EQ(difference.atEnd, c.atEnd);
        }
    }
}

} // namespace

// Hostile bundles played by the built player into ALSA's null device at full
// speed: every one ends by itself, with status 0 or 1 and the message or the
// normal end of playback that its outcome calls for, and nothing on stderr
// (where the sanitizers of the asan build would report).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ostream>

#include "tests/hostile/hostile_bundles.h"
#include "tests/support/run_program.h"

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The progress text of the call that found no block left, "N/N", then the
// driver's line feed.
bool endsWithPlaybackEnd(const std::string& out) {
    constexpr std::size_t Width = 6 + 1 + 6 + 1;
    if (out.size() < Width || out.back() != '\n') {
        return false;
    }
    int index = -1;
    int count = -2;
    const std::string last = out.substr(out.size() - Width);
    return std::sscanf(last.c_str(), "%6d/%6d", &index, &count) == 2 && index == count &&
           count >= 1;
}

// The line feed that ends the progress line, then the block where the
// bundle ends.
bool endsWithBundleEnd(const std::string& out) {
    const std::size_t lineStart = out.rfind('\n', out.size() < 2 ? 0 : out.size() - 2);
    if (lineStart == std::string::npos || out.back() != '\n') {
        return false;
    }
    int block = -1;
    int count = -1;
    char dots[4] = {};
    return std::sscanf(out.c_str() + lineStart + 1, "The bundle ends inside block %d of %d%3s",
                       &block, &count, dots) == 3 &&
           std::string(dots) == "..." && block >= 0 && block < count;
}

bool endsAs(WalkOutcome outcome, const ProgramRun& run) {
    switch (outcome) {
    case WalkOutcome::Plays:
        return run.status == 0 && endsWithPlaybackEnd(run.out);
    case WalkOutcome::BundleEnds:
        return run.status == 1 && endsWithBundleEnd(run.out);
    case WalkOutcome::WrongMagic:
        return run.status == 1 && endsWith(run.out, "where X is your CDROM drive!\n");
    case WalkOutcome::HeaderCut:
        return run.status == 1 && endsWith(run.out, ": track header cut short!\n");
    case WalkOutcome::TableCut:
        return run.status == 1 && endsWith(run.out, ": block table cut short!\n");
    case WalkOutcome::TooManyBlocks:
        return run.status == 1 && endsWith(run.out, "Out of block slots!\n");
    case WalkOutcome::NoBlocks:
        return run.status == 1 && endsWith(run.out, "\b\b\b\b\b\b\b\b\b\b\b\b\b     0/     0");
    case WalkOutcome::NoDataTag:
        return run.status == 1 && endsWith(run.out, "No DATA chunk found.\n");
    }
    return false;
}

std::string lastLine(const std::string& out) {
    const std::size_t from = out.size() > 80 ? out.size() - 80 : 0;
    std::string tail = out.substr(from);
    std::replace(tail.begin(), tail.end(), '\b', '~');
    return tail;
}

class HostilePlayer : public testing::Test {
  protected:
    static void SetUpTestSuite() { Directory = makeTempDir(); }

    // Plays the image and checks how the run ended; returns its time.
    static double play(const std::string& name, const Bytes& image,
                       const std::vector<WalkOutcome>& allowed) {
        const std::string bundle = Directory + "/zelvormusic.bun";
        writeFile(bundle, image);
        const auto start = std::chrono::steady_clock::now();
        const ProgramRun run =
            runProgram(ZELVOR_PLAYER, {bundle, "0"},
                       {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF}, ZELVOR_HOSTILE_TIMEOUT});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(run.timedOut) << name;
        EXPECT_TRUE(run.status == 0 || run.status == 1) << name << ": status " << run.status;
        EXPECT_TRUE(run.err.empty()) << name << ":\n" << run.err;
        EXPECT_TRUE(std::any_of(allowed.begin(), allowed.end(),
                                [&run](WalkOutcome outcome) { return endsAs(outcome, run); }))
            << name << ": status " << run.status << ", output ends \"" << lastLine(run.out) << "\"";
        if (seconds > 1.0) {
            std::printf("%s took %.2f s\n", name.c_str(), seconds);
        }
        return seconds;
    }

    static std::string Directory;
};

std::string HostilePlayer::Directory;

class HostilePlayerCases : public HostilePlayer, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePlayerCases, EndsWithItsMessageOrPlaysToTheEnd) {
    play(GetParam().name, GetParam().image, GetParam().allowed);
}

std::string caseName(const testing::TestParamInfo<HostileCase>& info) {
    std::string name = info.param.name;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char ch) { return std::isalnum(ch) == 0; }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, HostilePlayerCases, testing::ValuesIn(hostileCases()), caseName);

TEST_F(HostilePlayer, SmallBundleCutAtEveryByte) {
    const Bytes whole = smallValidBundle();
    double slowest = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        slowest = std::max(slowest, play("cut at " + std::to_string(length), cut,
                                         {outcomeOfSmallBundleCut(length)}));
        if (HasFailure()) {
            break;
        }
    }
    std::printf("slowest of %zu cuts: %.3f s\n", whole.size() + 1, slowest);
}

TEST_F(HostilePlayer, EncodedBundleCutInsideItsBlocks) {
    const EncodedBundle bundle = encodedBundle();
    play("whole", bundle.image, {WalkOutcome::Plays});
    const std::size_t size = bundle.image.size();
    for (const std::size_t length :
         {bundle.firstBlockOffset + 1, bundle.firstBlockOffset + 20, bundle.secondBlockOffset - 1,
          bundle.secondBlockOffset + 2, size / 2, size - 1}) {
        const Bytes cut(bundle.image.begin(),
                        bundle.image.begin() + static_cast<std::ptrdiff_t>(length));
        play("cut at " + std::to_string(length), cut, outcomesOfEncodedCut(bundle, length));
    }
}

} // namespace

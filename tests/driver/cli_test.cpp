// The player's command line, run as a user would run it.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "zelvor_version.h"

namespace {

const std::string BannerTail = "The Zelvor Soundtrack player              "
                               "ZelvorTrack " ZELVOR_VERSION " for Linux, by its developers\n"
                               "=========================              \n";
const std::string UsageBanner =
    "=========================     Usage: ZelvorTrack path\\zelvormusic.bun track_number\n" +
    BannerTail;
const std::string PlainBanner = "========================= \n" + BannerTail;

TEST(CommandLine, WrongArgumentCountShowsUsageAndTheList) {
    const std::vector<std::vector<std::string>> argumentLists = {
        {}, {"zelvormusic.bun"}, {"zelvormusic.bun", "1", "2"}};
    for (const auto& arguments : argumentLists) {
        const ProgramRun run = runProgram(ZELVOR_PLAYER, arguments);
        EXPECT_EQ(run.status, 0) << arguments.size() << " arguments";
        ASSERT_TRUE(run.out.starts_with(UsageBanner)) << run.out;
        const std::string list = run.out.substr(UsageBanner.size());
        EXPECT_TRUE(list.starts_with(" 0. Abbey (Cloister)       1. ")) << list;
        EXPECT_TRUE(list.ends_with("61. Village 3" + std::string(21 - 9 + 1, ' '))) << list;
        EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 20);
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandLine, TrackNumberOutOfRangeIsRefused) {
    for (const char* number : {"62", "-1", "63", "4294967296", "4294967295", "2147483648",
                               "99999999999999999999999", "-99999999999999999999999", "  -7"}) {
        const ProgramRun run = runProgram(ZELVOR_PLAYER, {"/nonexistent/zelvormusic.bun", number});
        EXPECT_EQ(run.out, PlainBanner + "track_number can be from 0 to 61...\n") << number;
        EXPECT_EQ(run.status, 1) << number;
    }
}

TEST(CommandLine, TrackNumberIsReadByItsLeadingDigits) {
    const struct {
        const char* number;
        const char* title;
    } cases[] = {
        {"abc", "Abbey (Cloister)"}, {"", "Abbey (Cloister)"},    {"-0", "Abbey (Cloister)"},
        {"7", "Bazaar (Night)"},     {" 7", "Bazaar (Night)"},    {"7x", "Bazaar (Night)"},
        {"+7", "Bazaar (Night)"},    {"\t007", "Bazaar (Night)"}, {"61", "Village 3"},
        {"5", "Bazaar (Morning)"},
    };
    for (const auto& c : cases) {
        // The bundle is missing, so the run ends right after naming the track.
        const ProgramRun run =
            runProgram(ZELVOR_PLAYER, {"/nonexistent/zelvormusic.bun", c.number});
        EXPECT_EQ(run.out, PlainBanner + "Playing: " + c.title +
                               "\n\n/nonexistent/zelvormusic.bun not found\n")
            << "'" << c.number << "'";
        EXPECT_EQ(run.status, 1);
    }
}

} // namespace

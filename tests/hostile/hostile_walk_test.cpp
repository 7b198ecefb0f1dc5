// Hostile bundles walked in-process, as the player would load, fetch and
// stream them, with every check of the walk (fuzz/bundle_walk.h): each must
// reach its outcome without a broken buffer, a stray write or a stream that
// does not end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>

#include "fuzz/bundle_walk.h"
#include "tests/hostile/hostile_bundles.h"

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

namespace {

std::string faultsOf(const WalkReport& report) {
    std::string text;
    for (const std::string& f : report.faults) {
        text += "\n  " + f;
    }
    return text;
}

bool allowed(const std::vector<WalkOutcome>& outcomes, WalkOutcome outcome) {
    return std::find(outcomes.begin(), outcomes.end(), outcome) != outcomes.end();
}

class HostileWalk : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileWalk, ReachesItsOutcomeWithEveryCheckHolding) {
    const HostileCase& c = GetParam();
    const WalkReport report = walkBundle(c.image, HostileTrackOffset);
    EXPECT_TRUE(report.faults.empty()) << faultsOf(report);
    EXPECT_TRUE(allowed(c.allowed, report.outcome)) << outcomeName(report.outcome);
}

std::string caseName(const testing::TestParamInfo<HostileCase>& info) {
    std::string name = info.param.name;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char ch) { return std::isalnum(ch) == 0; }, '_');
    return name;
}

// The heavy cases are left to the player tests.
std::vector<HostileCase> walkedCases() {
    std::vector<HostileCase> cases = hostileCases();
    std::erase_if(cases, [](const HostileCase& c) { return c.heavy; });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileWalk, testing::ValuesIn(walkedCases()), caseName);

TEST(HostileWalkCuts, SmallBundleCutAtEveryLength) {
    const Bytes whole = smallValidBundle();
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        const WalkReport report = walkBundle(cut, HostileTrackOffset);
        ASSERT_TRUE(report.faults.empty()) << "cut at " << length << faultsOf(report);
        ASSERT_EQ(report.outcome, outcomeOfSmallBundleCut(length))
            << "cut at " << length << ": " << outcomeName(report.outcome);
    }
}

TEST(HostileWalkCuts, EncodedBundlePlaysWholeAndSurvivesCuts) {
    const EncodedBundle bundle = encodedBundle();
    const WalkReport whole = walkBundle(bundle.image, HostileTrackOffset);
    ASSERT_TRUE(whole.faults.empty()) << faultsOf(whole);
    EXPECT_EQ(whole.outcome, WalkOutcome::Plays);
    EXPECT_EQ(whole.blocks, 4);
    EXPECT_EQ(whole.batches, 2);
    EXPECT_EQ(whole.damagedBlocks, 0);

    // Every length through the header and the table, then a stride through
    // the stored blocks with every length near each block's start.
    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length < bundle.image.size(); ++length) {
        const bool nearBlockStart =
            (length >= bundle.firstBlockOffset && length < bundle.firstBlockOffset + 24) ||
            (length >= bundle.secondBlockOffset && length < bundle.secondBlockOffset + 8);
        if (length <= bundle.firstBlockOffset || nearBlockStart || length % 61 == 0) {
            lengths.push_back(length);
        }
    }
    std::int32_t damagedSeen = 0;
    for (const std::size_t length : lengths) {
        const Bytes cut(bundle.image.begin(),
                        bundle.image.begin() + static_cast<std::ptrdiff_t>(length));
        const WalkReport report = walkBundle(cut, HostileTrackOffset);
        ASSERT_TRUE(report.faults.empty()) << "cut at " << length << faultsOf(report);
        ASSERT_TRUE(allowed(outcomesOfEncodedCut(bundle, length), report.outcome))
            << "cut at " << length << ": " << outcomeName(report.outcome);
        damagedSeen += report.damagedBlocks;
    }
    // A cut inside a stored block leaves it without its end marker.
    EXPECT_GT(damagedSeen, 0);
}

} // namespace

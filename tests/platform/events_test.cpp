// The platform's events and Sleep, in real time with short time-outs.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include "platform/events.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Five manual-reset events, all unsignalled at the start.
class EventsTest : public testing::Test {
  protected:
    void SetUp() override {
        for (HANDLE& event : events) {
            event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            ASSERT_NE(event, nullptr);
        }
    }
    void TearDown() override {
        for (HANDLE event : events) {
            CloseHandle(event);
        }
    }
    DWORD waitAny(DWORD ms) { return WaitForMultipleObjects(5, events.data(), FALSE, ms); }
    DWORD waitAll(DWORD ms) { return WaitForMultipleObjects(5, events.data(), TRUE, ms); }

    std::array<HANDLE, 5> events{};
};

struct WaitCase {
    const char* name;
    std::vector<int> signalled;
    BOOL waitAll;
    DWORD expected;
};

void PrintTo(const WaitCase& c, std::ostream* out) {
    *out << c.name;
}

class EventsWait : public EventsTest, public testing::WithParamInterface<WaitCase> {};

TEST_P(EventsWait, GivesTheResultOfTheEventsStateAndKeepsManualEventsSignalled) {
    const WaitCase& c = GetParam();
    for (const int i : c.signalled) {
        SetEvent(events[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(WaitForMultipleObjects(5, events.data(), c.waitAll, 0), c.expected);
    // A wait does not reset a manual-reset event.
    EXPECT_EQ(WaitForMultipleObjects(5, events.data(), c.waitAll, 0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventsWait,
    testing::Values(WaitCase{"AnyWithNone", {}, FALSE, WAIT_TIMEOUT},
                    WaitCase{"AnyTakesTheLowest", {3, 1}, FALSE, WAIT_OBJECT_0 + 1},
                    WaitCase{"AnyWithTheLast", {4}, FALSE, WAIT_OBJECT_0 + 4},
                    WaitCase{"AllWithOneMissing", {0, 1, 2, 4}, TRUE, WAIT_TIMEOUT},
                    WaitCase{"AllWithAll", {4, 3, 2, 1, 0}, TRUE, WAIT_OBJECT_0}),
    [](const testing::TestParamInfo<WaitCase>& test) { return test.param.name; });

TEST_F(EventsTest, ResetAndCreatedSignalledChangeWhatAWaitSees) {
    SetEvent(events[1]);
    SetEvent(events[3]);
    ResetEvent(events[1]);
    EXPECT_EQ(waitAny(0), WAIT_OBJECT_0 + 3);
    HANDLE signalled = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(1, &signalled, FALSE, 0), WAIT_OBJECT_0);
    CloseHandle(signalled);
}

TEST_F(EventsTest, AutoResetEventIsTakenByTheWaitThatEndsOnIt) {
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(1, &automatic, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(1, &automatic, FALSE, 0), WAIT_TIMEOUT);
    CloseHandle(automatic);
}

TEST_F(EventsTest, TimeOutComesAfterTheTimeAndNotBefore) {
    const auto start = Clock::now();
    EXPECT_EQ(waitAll(60), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(60));
}

TEST_F(EventsTest, SignalFromAnotherThreadEndsTheWait) {
    const auto start = Clock::now();
    std::thread signaller([this] {
        std::this_thread::sleep_for(milliseconds(30));
        SetEvent(events[2]);
    });
    EXPECT_EQ(waitAny(10000), WAIT_OBJECT_0 + 2);
    signaller.join();
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
}

TEST_F(EventsTest, BadArgumentsFailTheWait) {
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    int notAnEvent = 0;
    std::array<HANDLE, MAXIMUM_WAIT_OBJECTS + 1> many{};
    many.fill(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(0, events.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, &closed, FALSE, 0), WAIT_FAILED);
    HANDLE stranger = &notAnEvent;
    EXPECT_EQ(WaitForMultipleObjects(1, &stranger, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(SetEvent(stranger), FALSE);
    EXPECT_EQ(CloseHandle(closed), FALSE);
}

TEST(SleepTest, PausesAtLeastTheTimeAsked) {
    const auto start = Clock::now();
    Sleep(50);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
}

} // namespace

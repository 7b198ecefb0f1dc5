// The ring against the scripted device and the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "audio/wave_ring.h"
#include "platform/global_memory.h"
#include "tests/audio/scripted_wave_out.h"
#include "tests/audio/virtual_clock.h"
#include <unistd.h>

namespace {

constexpr DWORD BatchBytes = 16384;
// One batch of 4096 frames lasts 16384 / 88200 s.
constexpr std::uint64_t BatchMicroseconds = BatchBytes * 1000000ull / 88200;

std::string printedBy(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

template <class Case> std::string caseName(const testing::TestParamInfo<Case>& test) {
    return test.param.name;
}

class WaveRingTest : public testing::Test {
  protected:
    void SetUp() override {
        resetScriptedDevice();
        resetVirtualClock();
        EXPECT_EQ(printedBy(waveRingOpen), "");
        ringOpen = true;
    }

    void TearDown() override {
        if (ringOpen) {
            finishAll();
            close();
        }
    }

    // Submits one batch whose bytes all hold the value.
    static std::string submit(std::uint8_t value, DWORD count = BatchBytes) {
        const std::vector<std::uint8_t> batch(count, value);
        return printedBy([&] { waveRingSubmit(batch.data(), count); });
    }

    static void submitMany(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(submit(static_cast<std::uint8_t>(i)), "") << "submission " << i;
        }
    }

    std::string close() {
        ringOpen = false;
        return printedBy(waveRingClose);
    }

    static int lastSlot() { return Scripted.written.empty() ? -1 : Scripted.written.back().slot; }

    static std::uint64_t elapsed(const WaitRecord& wait) {
        return wait.endMicroseconds - wait.startMicroseconds;
    }

    bool ringOpen = false;
};

TEST_F(WaveRingTest, OpenAsksForTheDeviceFormatAndSetsUpEverySlot) {
    EXPECT_EQ(Scripted.opens, 1);
    EXPECT_EQ(Scripted.openDeviceId, WAVE_MAPPER);
    EXPECT_EQ(Scripted.openFlags, CALLBACK_FUNCTION);
    EXPECT_EQ(Scripted.openInstance, 0u);
    EXPECT_EQ(Scripted.openCallback, reinterpret_cast<DWORD_PTR>(&onWaveDone));
    const WAVEFORMATEX& format = Scripted.openFormat;
    EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.nSamplesPerSec, 22050u);
    EXPECT_EQ(format.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);

    for (int i = 0; i < WaveSlotCount; ++i) {
        const WaveSlot& slot = Ring.slots[i];
        SCOPED_TRACE(i);
        ASSERT_NE(slot.header, nullptr);
        EXPECT_EQ(slot.header->lpData, slot.data);
        EXPECT_EQ(slot.header->dwBufferLength, 0u);
        EXPECT_EQ(slot.header->dwFlags, 0u);
        EXPECT_EQ(slot.header->dwLoops, 0u);
        EXPECT_EQ(slot.done.load(), 1u);
        // Both live in global memory, found again from their pointers.
        EXPECT_NE(GlobalHandle(slot.data), nullptr);
        EXPECT_NE(GlobalHandle(slot.header), nullptr);
        // The whole data area is the slot's own (a sanitizer build checks the bounds).
        std::fill_n(slot.data, WaveSlotBytes, static_cast<char>(i));
    }
    for (int i = 0; i < WaveSlotCount; ++i) {
        EXPECT_EQ(Ring.slots[i].data[0], static_cast<char>(i));
        EXPECT_EQ(Ring.slots[i].data[WaveSlotBytes - 1], static_cast<char>(i));
    }
}

TEST_F(WaveRingTest, NothingSubmittedClosesAtOnceAndSilently) {
    EXPECT_EQ(close(), "");
    ASSERT_EQ(Clock.waits.size(), 1u);
    EXPECT_TRUE(Clock.waits[0].waitAll);
    EXPECT_EQ(Clock.waits[0].count, 20u);
    EXPECT_EQ(Clock.waits[0].result, WAIT_OBJECT_0);
    EXPECT_EQ(Clock.nowMicroseconds, 0u);
    EXPECT_TRUE(Scripted.closed);
    EXPECT_EQ(Scripted.closeCalls, 1);
}

struct SlotChoiceCase {
    const char* name;
    int queuedFirst;
    std::vector<int> finished;
    std::vector<int> expectedSlots;
};

void PrintTo(const SlotChoiceCase& c, std::ostream* out) {
    *out << c.name;
}

class WaveRingSlotChoice : public WaveRingTest,
                           public testing::WithParamInterface<SlotChoiceCase> {};

TEST_P(WaveRingSlotChoice, TakesTheLowestFreeSlot) {
    const SlotChoiceCase& c = GetParam();
    submitMany(c.queuedFirst);
    for (int i = 0; i < c.queuedFirst; ++i) {
        EXPECT_EQ(Scripted.written[static_cast<std::size_t>(i)].slot, i);
    }
    for (const int slot : c.finished) {
        finishSlots({slot});
    }
    for (const int expected : c.expectedSlots) {
        const auto value = static_cast<std::uint8_t>(0xA0 + expected);
        EXPECT_EQ(submit(value), "");
        EXPECT_EQ(lastSlot(), expected);
        EXPECT_EQ(Scripted.written.back().bytes, std::vector<std::uint8_t>(BatchBytes, value));
        EXPECT_EQ(Ring.slots[expected].done.load(), 0u);
    }
    finishAll();
    EXPECT_EQ(close(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaveRingSlotChoice,
    testing::Values(SlotChoiceCase{"AllFree", 0, {}, {0}}, SlotChoiceCase{"FiveQueued", 5, {}, {5}},
                    SlotChoiceCase{"ThreeAndSevenFreedTogether", 10, {7, 3}, {3, 7, 10}}),
    caseName<SlotChoiceCase>);

TEST_F(WaveRingTest, SubmissionCopiesTheBytesAndCarriesAtMostOneSlot) {
    std::vector<std::uint8_t> batch(WaveSlotBytes + 5000);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i] = static_cast<std::uint8_t>(i * 7);
    }
    waveRingSubmit(batch.data(), 1000);
    // The ring keeps no reference to the caller's bytes.
    std::fill(batch.begin(), batch.begin() + 1000, 0xEE);
    waveRingSubmit(batch.data(), static_cast<DWORD>(batch.size()));

    ASSERT_EQ(Scripted.written.size(), 2u);
    std::vector<std::uint8_t> first(1000);
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<std::uint8_t>(i * 7);
    }
    EXPECT_EQ(Scripted.written[0].bytes, first);
    EXPECT_EQ(Scripted.written[1].bytes,
              std::vector<std::uint8_t>(batch.begin(), batch.begin() + WaveSlotBytes));
    EXPECT_EQ(Ring.slots[1].header->dwBufferLength, WaveSlotBytes);
}

struct DroppedCase {
    const char* name;
    int queuedFirst;
    bool failWait;
    const char* message;
    std::uint64_t waitedMicroseconds;
};

void PrintTo(const DroppedCase& c, std::ostream* out) {
    *out << c.name;
}

class WaveRingDropped : public WaveRingTest, public testing::WithParamInterface<DroppedCase> {};

TEST_P(WaveRingDropped, SubmissionIsDroppedAndTheRingGoesOn) {
    const DroppedCase& c = GetParam();
    submitMany(c.queuedFirst);
    Clock.failNextWait = c.failWait;
    EXPECT_EQ(submit(0x55), c.message);

    const WaitRecord& wait = Clock.waits.back();
    EXPECT_FALSE(wait.waitAll);
    EXPECT_EQ(wait.count, 20u);
    EXPECT_EQ(wait.timeoutMilliseconds, 10000u);
    EXPECT_EQ(elapsed(wait), c.waitedMicroseconds);
    EXPECT_EQ(Scripted.written.size(), static_cast<std::size_t>(c.queuedFirst));

    finishAll();
    EXPECT_EQ(submit(0x66), "");
    EXPECT_EQ(lastSlot(), 0);
    finishAll();
    EXPECT_EQ(close(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveRingDropped,
                         testing::Values(DroppedCase{"TwentyFirstWithNoneFinished", 20, false,
                                                     "Unexpected timeout...\n", 10000000},
                                         DroppedCase{"WaitFails", 0, true,
                                                     "Unexpected failure...\n", 0}),
                         caseName<DroppedCase>);

struct FailedQueueCase {
    const char* name;
    bool prepareFails;
    const char* message;
};

void PrintTo(const FailedQueueCase& c, std::ostream* out) {
    *out << c.name;
}

class WaveRingFailedQueue : public WaveRingTest,
                            public testing::WithParamInterface<FailedQueueCase> {};

TEST_P(WaveRingFailedQueue, SlotSixStaysTakenToTheEnd) {
    const FailedQueueCase& c = GetParam();
    submitMany(6);
    (c.prepareFails ? Scripted.failPrepareCall : Scripted.failWriteCall) = 6;
    EXPECT_EQ(submit(0x66), c.message);
    EXPECT_EQ(Scripted.written.size(), 6u);
    // A failed write leaves no preparation behind.
    EXPECT_EQ(Scripted.prepared.count(Ring.slots[6].header), 0u);
    EXPECT_EQ(Ring.slots[6].done.load(), 0u);

    // Every other slot keeps serving; slot 6 never comes back.
    finishAll();
    submitMany(19);
    std::vector<int> used;
    for (std::size_t i = 6; i < Scripted.written.size(); ++i) {
        used.push_back(Scripted.written[i].slot);
    }
    const std::vector<int> allButSix{0,  1,  2,  3,  4,  5,  7,  8,  9, 10,
                                     11, 12, 13, 14, 15, 16, 17, 18, 19};
    EXPECT_EQ(used, allButSix);
    EXPECT_EQ(submit(0x77), "Unexpected timeout...\n");

    finishAll();
    EXPECT_EQ(close(), "Buffer 6 still full!?\n");
    const WaitRecord& closeWait = Clock.waits.back();
    EXPECT_TRUE(closeWait.waitAll);
    EXPECT_EQ(closeWait.result, WAIT_TIMEOUT);
    EXPECT_EQ(elapsed(closeWait), 10000000u);
    EXPECT_EQ(Scripted.preparedAtClose, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveRingFailedQueue,
                         testing::Values(FailedQueueCase{"PrepareFails", true, "Oh no!\n"},
                                         FailedQueueCase{"WriteFails", false,
                                                         "waveOutWrite failed!\n"}),
                         caseName<FailedQueueCase>);

TEST_F(WaveRingTest, StopWithTwentyQueuedGivesEveryBufferBack) {
    submitMany(20);
    EXPECT_EQ(printedBy(waveRingStop), "");
    const std::vector<std::string> stopCalls(Scripted.calls.end() - 2, Scripted.calls.end());
    EXPECT_EQ(stopCalls, (std::vector<std::string>{"pause", "reset"}));
    EXPECT_TRUE(Scripted.queue.empty());
    for (int i = 0; i < WaveSlotCount; ++i) {
        EXPECT_EQ(Ring.slots[i].done.load(), 1u) << i;
    }

    EXPECT_EQ(close(), "");
    EXPECT_EQ(Clock.waits.back().result, WAIT_OBJECT_0);
    EXPECT_EQ(Clock.nowMicroseconds, 0u);
    EXPECT_EQ(Scripted.closeCalls, 1);
}

TEST_F(WaveRingTest, PlayingDevicePacesSubmissionsAndCloseWaitsForTheLastBuffer) {
    Scripted.playing = true;
    submitMany(25);
    // The first 20 go straight in; each later one waits for the oldest.
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(Scripted.written[static_cast<std::size_t>(i)].slot, i % 20) << i;
    }
    ASSERT_EQ(Clock.waits.size(), 25u);
    EXPECT_EQ(elapsed(Clock.waits[19]), 0u);
    EXPECT_EQ(Clock.waits[20].endMicroseconds, BatchMicroseconds);
    EXPECT_EQ(Clock.waits[24].endMicroseconds, 5 * BatchMicroseconds);

    EXPECT_EQ(close(), "");
    const WaitRecord& closeWait = Clock.waits.back();
    EXPECT_EQ(closeWait.result, WAIT_OBJECT_0);
    EXPECT_EQ(closeWait.endMicroseconds, 25 * BatchMicroseconds);
    // Each slot's preparation was released before it was prepared again and
    // before the slot was released, never while it was queued.
    EXPECT_EQ(Scripted.preparesOfPrepared, 0);
    EXPECT_EQ(Scripted.unpreparesWhileQueued, 0);
    EXPECT_EQ(Scripted.preparedAtClose, 0);
}

TEST_F(WaveRingTest, CloseWhileTheDeviceHoldsBuffersResetsItBeforeReleasing) {
    submitMany(3);
    EXPECT_EQ(close(), "Buffer 0 still full!?\nBuffer 1 still full!?\nBuffer 2 still full!?\n");
    EXPECT_EQ(Clock.waits.back().result, WAIT_TIMEOUT);
    EXPECT_EQ(elapsed(Clock.waits.back()), 10000000u);

    // The reset comes before the slots' preparations are released (and the
    // slots freed); none is released while the device still holds it.
    const auto reset = std::find(Scripted.calls.begin(), Scripted.calls.end(), "reset");
    const auto lastRelease =
        std::find(Scripted.calls.rbegin(), Scripted.calls.rend(), "unprepare 0").base();
    EXPECT_LT(reset, lastRelease);
    EXPECT_EQ(Scripted.unpreparesWhileQueued, 0);
    EXPECT_EQ(Scripted.preparedAtClose, 0);
    EXPECT_TRUE(Scripted.closed);
}

TEST_F(WaveRingTest, RefusedCloseIsTriedAgainEvery500Milliseconds) {
    Scripted.closeRefusals = 2;
    EXPECT_EQ(close(), "Zzzzz...\nZzzzz...\n");
    EXPECT_EQ(Clock.sleeps, (std::vector<DWORD>{500, 500}));
    EXPECT_EQ(Scripted.closeCalls, 3);
    EXPECT_TRUE(Scripted.closed);
}

struct MessageCase {
    const char* name;
    UINT message;
    bool foreignHeader;
    const char* printed;
};

void PrintTo(const MessageCase& c, std::ostream* out) {
    *out << c.name;
}

class WaveRingMessages : public WaveRingTest, public testing::WithParamInterface<MessageCase> {};

TEST_P(WaveRingMessages, ChangeNoSlot) {
    const MessageCase& c = GetParam();
    EXPECT_EQ(submit(1), "");
    WAVEHDR foreign{};
    const WAVEHDR* header = c.foreignHeader ? &foreign : Ring.slots[0].header;
    EXPECT_EQ(printedBy([&] { sendToRing(c.message, reinterpret_cast<DWORD_PTR>(header)); }),
              c.printed);
    EXPECT_EQ(Ring.slots[0].done.load(), 0u);
    // Slot 0 is still taken, so the next batch goes to slot 1.
    EXPECT_EQ(submit(2), "");
    EXPECT_EQ(lastSlot(), 1);
    finishAll();
    EXPECT_EQ(close(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveRingMessages,
                         testing::Values(MessageCase{"Open", WOM_OPEN, false, ""},
                                         MessageCase{"Close", WOM_CLOSE, false, ""},
                                         MessageCase{"DoneForAForeignHeader", WOM_DONE, true,
                                                     "Ooops!! BUG! Imminent crash!\n"}),
                         caseName<MessageCase>);

TEST(WaveRingOpenDeathTest, NoDeviceEndsTheProgramWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    resetScriptedDevice();
    resetVirtualClock();
    Scripted.openResult = MMSYSERR_NODRIVER;
    // The message goes to standard output; it is sent to standard error here
    // for the death test to see it.
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            waveRingOpen();
        },
        testing::ExitedWithCode(1), "^Can't init audio system\\.\\.\\.\n$");
}

} // namespace

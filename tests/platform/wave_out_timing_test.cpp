// The ALSA wave-out layer against a PCM that plays in real time and
// misbehaves on purpose (fake_alsa.h): slow calls on both threads, a device
// that holds back its last frames, one that fails and comes back or not.
// A watchdog ends the program with a message when a test hangs, so a lost
// wake-up fails the run instead of stalling it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/wave_out.h"
#include "tests/platform/fake_alsa.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr WAVEFORMATEX PlayerFormat{WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};

// What the completion function saw.
std::mutex SeenLock;
std::condition_variable SeenChanged;
std::vector<WAVEHDR*> Done;
bool ClosedSeen = false;
bool CallbackAfterClose = false;

void CALLBACK record(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    const std::lock_guard lock(SeenLock);
    if (ClosedSeen) {
        CallbackAfterClose = true;
    }
    if (message == WOM_DONE) {
        Done.push_back(reinterpret_cast<WAVEHDR*>(param1));
    } else if (message == WOM_CLOSE) {
        ClosedSeen = true;
    }
    SeenChanged.notify_all();
}

void clearSeen() {
    const std::lock_guard lock(SeenLock);
    Done.clear();
    ClosedSeen = false;
    CallbackAfterClose = false;
}

std::size_t doneCount() {
    const std::lock_guard lock(SeenLock);
    return Done.size();
}

bool waitForDone(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(SeenLock);
    return SeenChanged.wait_for(lock, limit, [count] { return Done.size() >= count; });
}

// Ends the program when the step it guards takes longer than its limit.
std::atomic<std::uint64_t> WatchdogTicket{0};
std::atomic<const char*> WatchdogStep{"start"};

class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { run(); }) {}
    ~Watchdog() {
        {
            const std::lock_guard lock(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void run() {
        std::unique_lock lock(lock_);
        std::uint64_t lastTicket = WatchdogTicket.load();
        auto lastChange = Clock::now();
        while (!wake_.wait_for(lock, 100ms, [this] { return stop_; })) {
            const std::uint64_t ticket = WatchdogTicket.load();
            if (ticket != lastTicket) {
                lastTicket = ticket;
                lastChange = Clock::now();
            } else if (Clock::now() - lastChange > limit_) {
                std::fprintf(stderr, "watchdog: no progress for %lld s at \"%s\" (step %llu)\n",
                             static_cast<long long>(limit_.count()), WatchdogStep.load(),
                             static_cast<unsigned long long>(ticket));
                std::fflush(stderr);
                _exit(2);
            }
        }
    }

    std::chrono::seconds limit_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

void step(const char* what) {
    WatchdogStep.store(what);
    WatchdogTicket.fetch_add(1);
}

// Buffers whose frames carry their own running number, so the order of
// what was played can be read back from it.
struct NumberedBuffers {
    std::vector<std::vector<std::uint32_t>> frames;
    std::vector<WAVEHDR> headers;
};

NumberedBuffers numbered(std::size_t count, std::size_t framesEach, std::uint32_t first = 1) {
    NumberedBuffers buffers;
    buffers.frames.resize(count);
    buffers.headers.resize(count);
    std::uint32_t next = first;
    for (std::size_t i = 0; i < count; ++i) {
        buffers.frames[i].resize(framesEach);
        for (std::uint32_t& frame : buffers.frames[i]) {
            frame = next++;
        }
        buffers.headers[i] = WAVEHDR{};
        buffers.headers[i].lpData = reinterpret_cast<LPSTR>(buffers.frames[i].data());
        buffers.headers[i].dwBufferLength = static_cast<DWORD>(framesEach * 4);
    }
    return buffers;
}

std::vector<std::uint32_t> playedFrames() {
    const std::lock_guard lock(FakeAlsaLock);
    std::vector<std::uint32_t> frames(FakeAlsaPlayed.played.size() / 4);
    std::memcpy(frames.data(), FakeAlsaPlayed.played.data(), frames.size() * 4);
    return frames;
}

// ALSA's buffer as the layer asks for it: 400 ms, in periods of 100 ms.
FakeAlsaSettings layersOwnBuffer() {
    FakeAlsaSettings settings;
    settings.bufferFrames = 8820;
    settings.periodFrames = 2205;
    return settings;
}

// The numbered frames 1 to count came first, in order.
void expectNumberedFirst(const std::vector<std::uint32_t>& played, std::size_t count) {
    ASSERT_GE(played.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(played[i], i + 1) << "frame " << i;
    }
}

class WaveOutTiming : public testing::Test {
  protected:
    void SetUp() override { clearSeen(); }

    void open(const FakeAlsaSettings& settings) {
        resetFakeAlsa(settings);
        clearSeen();
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &PlayerFormat,
                              reinterpret_cast<DWORD_PTR>(&record), 0, CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
    }

    void queue(WAVEHDR& header) {
        ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }

    void queueAll(NumberedBuffers& buffers) {
        for (WAVEHDR& header : buffers.headers) {
            queue(header);
        }
    }

    HWAVEOUT device = nullptr;
};

TEST_F(WaveOutTiming, PlaysEveryFrameInOrderAndClosesWhenTheLastHasBeenPlayed) {
    const Watchdog watchdog(20s);
    NumberedBuffers buffers = numbered(6, 4096);
    open(layersOwnBuffer());
    const auto started = Clock::now();
    queueAll(buffers);
    ASSERT_TRUE(waitForDone(buffers.headers.size(), 5s));
    step("close");
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    const double took = std::chrono::duration<double>(Clock::now() - started).count();

    const std::vector<std::uint32_t> played = playedFrames();
    ASSERT_EQ(played.size(), 6u * 4096);
    expectNumberedFirst(played, played.size());
    // 24576 frames last 1.11 s; the close waits for the last of them and
    // not much longer.
    EXPECT_GT(took, 1.0);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(waveOutUnderruns(), 0u);
}

TEST_F(WaveOutTiming, LastFramesHeldBackByTheDeviceArePushedOutWithSilence) {
    const Watchdog watchdog(20s);
    NumberedBuffers buffers = numbered(3, 4096);
    FakeAlsaSettings settings;
    settings.holdBackFrames = 300;
    open(settings);
    queueAll(buffers);
    ASSERT_TRUE(waitForDone(buffers.headers.size(), 5s));
    const auto closing = Clock::now();
    step("close with frames held back");
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    const double took = std::chrono::duration<double>(Clock::now() - closing).count();

    const std::vector<std::uint32_t> played = playedFrames();
    expectNumberedFirst(played, 3 * 4096);
    for (std::size_t i = 3 * 4096; i < played.size(); ++i) {
        ASSERT_EQ(played[i], 0u) << "only silence follows";
    }
    // The buffer (0.1 s), the wait for a stuck device (three periods) and
    // the silence: well under the seconds a device that never plays them
    // would cost.
    EXPECT_LT(took, 1.0);
}

TEST_F(WaveOutTiming, ATrackShorterThanTheStartThresholdIsStartedAndPlayed) {
    const Watchdog watchdog(20s);
    // Less than ALSA's buffer, which a PCM fills before it starts by itself.
    NumberedBuffers buffers = numbered(1, 1000);
    open(layersOwnBuffer());
    queueAll(buffers);
    ASSERT_TRUE(waitForDone(1, 2s));
    const auto closing = Clock::now();
    step("close a short track");
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    const std::vector<std::uint32_t> played = playedFrames();
    ASSERT_EQ(played.size(), 1000u);
    EXPECT_EQ(played.back(), 1000u);
    // 1000 frames last 45 ms.
    EXPECT_LT(Clock::now() - closing, 1s);
}

TEST_F(WaveOutTiming, ResetWhilePausingSlowlyReturnsAndGivesEverythingBack) {
    const Watchdog watchdog(20s);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        NumberedBuffers buffers = numbered(5, 4096);
        FakeAlsaSettings settings;
        settings.pauseDelayMicroseconds = 100000;
        open(settings);
        queueAll(buffers);
        std::this_thread::sleep_for(20ms);
        step("pause then reset");
        ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
        // The reset is asked for while the device thread is inside the pause.
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 15));
        const auto resetting = Clock::now();
        ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_LT(Clock::now() - resetting, 600ms);
        EXPECT_EQ(doneCount(), buffers.headers.size());
        step("close after reset");
        ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
}

TEST_F(WaveOutTiming, ThousandsOfWritePauseResetCloseSequencesWithRandomDelays) {
    const Watchdog watchdog(10s);
    std::minstd_rand random(20261211);
    auto pick = [&random](int most) { return std::uniform_int_distribution<int>(0, most)(random); };
    constexpr int Sequences = 2000;
    for (int sequence = 0; sequence < Sequences; ++sequence) {
        NumberedBuffers buffers =
            numbered(static_cast<std::size_t>(pick(5)), static_cast<std::size_t>(16 + pick(200)));
        FakeAlsaSettings settings;
        settings.bufferFrames = 512;
        settings.periodFrames = 128;
        settings.callDelayMicroseconds = static_cast<std::uint32_t>(pick(300));
        settings.pauseDelayMicroseconds = sequence % 100 == 0 ? 100000 : 2000;
        step("open");
        open(settings);
        for (WAVEHDR& header : buffers.headers) {
            step("write");
            queue(header);
            std::this_thread::sleep_for(std::chrono::microseconds(pick(300)));
        }
        const int ending = pick(3);
        if (ending == 0) {
            step("wait for every buffer");
            ASSERT_TRUE(waitForDone(buffers.headers.size(), 5s)) << "sequence " << sequence;
        } else {
            if (ending == 1) {
                step("pause");
                ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
                std::this_thread::sleep_for(std::chrono::microseconds(pick(2500)));
            }
            step("reset");
            ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
            ASSERT_EQ(doneCount(), buffers.headers.size()) << "sequence " << sequence;
        }
        step("close");
        ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR) << "sequence " << sequence;
        const std::lock_guard lock(SeenLock);
        std::vector<WAVEHDR*> expected;
        for (WAVEHDR& header : buffers.headers) {
            expected.push_back(&header);
        }
        ASSERT_EQ(Done, expected) << "each buffer once, in order; sequence " << sequence;
        ASSERT_TRUE(ClosedSeen);
        ASSERT_FALSE(CallbackAfterClose);
    }
}

TEST_F(WaveOutTiming, ADeviceThatFailsIsOpenedAgainAndPlaysOnWhereItStopped) {
    const Watchdog watchdog(20s);
    NumberedBuffers buffers = numbered(10, 4096);
    FakeAlsaSettings settings;
    settings.failAfterFrames = 8000;
    settings.failedOpens = 2;
    open(settings);
    const auto started = Clock::now();
    queueAll(buffers);
    step("play through a failure");
    ASSERT_TRUE(waitForDone(buffers.headers.size(), 8s));
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    const double took = std::chrono::duration<double>(Clock::now() - started).count();

    const std::vector<std::uint32_t> played = playedFrames();
    ASSERT_FALSE(played.empty());
    EXPECT_EQ(played.front(), 1u);
    EXPECT_EQ(played.back(), 10u * 4096) << "played on to the end";
    // In order and never twice; the one gap is what the device held when it
    // failed, at most its buffer.
    std::size_t gaps = 0;
    for (std::size_t i = 1; i < played.size(); ++i) {
        ASSERT_GT(played[i], played[i - 1]) << "frame " << i;
        if (played[i] != played[i - 1] + 1) {
            ++gaps;
            EXPECT_LE(played[i] - played[i - 1] - 1, 2205u);
        }
    }
    EXPECT_LE(gaps, 1u);
    {
        const std::lock_guard lock(FakeAlsaLock);
        EXPECT_EQ(FakeAlsaPlayed.opens, 2u);
    }
    // 1.86 s of sound and three tries half a second apart.
    EXPECT_LT(took, 4.5);
}

TEST_F(WaveOutTiming, ADeviceThatDoesNotComeBackGivesEverythingBackAndRefusesWrites) {
    const Watchdog watchdog(20s);
    NumberedBuffers buffers = numbered(10, 4096);
    FakeAlsaSettings settings;
    settings.failAfterFrames = 4000;
    settings.failedOpens = -1;
    open(settings);
    queueAll(buffers);
    step("give up on a lost device");
    ASSERT_TRUE(waitForDone(buffers.headers.size(), 12s));
    NumberedBuffers more = numbered(1, 16);
    ASSERT_EQ(waveOutPrepareHeader(device, &more.headers[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(device, &more.headers[0], sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTiming, ADeviceThatRanDryCountsAnUnderrunAndPlaysOn) {
    const Watchdog watchdog(20s);
    NumberedBuffers buffers = numbered(2, 4096);
    open(FakeAlsaSettings{});
    queue(buffers.headers[0]);
    ASSERT_TRUE(waitForDone(1, 2s));
    // 4096 frames last 0.19 s; nothing more comes for longer than that.
    std::this_thread::sleep_for(400ms);
    queue(buffers.headers[1]);
    ASSERT_TRUE(waitForDone(2, 2s));
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnderruns(), 1u);
    EXPECT_EQ(playedFrames().size(), 2u * 4096);
}

} // namespace

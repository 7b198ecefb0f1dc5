// The ALSA wave-out layer for real, through ALSA's own configuration: the
// default PCM is a file plugin over a null slave (tests/support/alsa).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/wave_out.h"
#include "tests/support/alsa/alsa_test_config.h"

namespace {

constexpr WAVEFORMATEX PlayerFormat{WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};

struct Notification {
    UINT message;
    WAVEHDR* header;
    bool onCallerThread;
    MMRESULT unprepareResult;
};

// What the completion function saw, shared with the device thread.
std::mutex NotificationLock;
std::condition_variable NotificationArrived;
std::vector<Notification> Notifications;
std::thread::id CallerThread;
bool UnprepareInCallback = false;

void CALLBACK recordNotification(HWAVEOUT device, UINT message, DWORD_PTR, DWORD_PTR param1,
                                 DWORD_PTR) {
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    // The completion function may call back into the device.
    const MMRESULT unprepared = message == WOM_DONE && UnprepareInCallback
                                    ? waveOutUnprepareHeader(device, header, sizeof(WAVEHDR))
                                    : MMSYSERR_NOERROR;
    const std::lock_guard lock(NotificationLock);
    Notifications.push_back(
        {message, header, std::this_thread::get_id() == CallerThread, unprepared});
    NotificationArrived.notify_all();
}

std::vector<Notification> notifications() {
    const std::lock_guard lock(NotificationLock);
    return Notifications;
}

std::vector<WAVEHDR*> doneHeaders() {
    std::vector<WAVEHDR*> done;
    for (const Notification& n : notifications()) {
        if (n.message == WOM_DONE) {
            done.push_back(n.header);
        }
    }
    return done;
}

// Waits in real time; the null device finishes long before the limit.
bool waitForDone(std::size_t count) {
    std::unique_lock lock(NotificationLock);
    return NotificationArrived.wait_for(lock, std::chrono::seconds(10), [count] {
        std::size_t done = 0;
        for (const Notification& n : Notifications) {
            done += n.message == WOM_DONE ? 1 : 0;
        }
        return done >= count;
    });
}

// Buffers of distinct bytes, each a whole number of frames.
struct TestBuffers {
    std::vector<std::vector<char>> data;
    std::vector<WAVEHDR> headers;
};

TestBuffers makeBuffers(const std::vector<DWORD>& lengths, int seed) {
    TestBuffers buffers;
    buffers.data.resize(lengths.size());
    buffers.headers.resize(lengths.size());
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        buffers.data[i].resize(lengths[i]);
        for (std::size_t b = 0; b < lengths[i]; ++b) {
            buffers.data[i][b] =
                static_cast<char>((b * 31 + i * 17 + static_cast<std::size_t>(seed)) & 0xFF);
        }
        buffers.headers[i] = WAVEHDR{};
        buffers.headers[i].lpData = buffers.data[i].data();
        buffers.headers[i].dwBufferLength = lengths[i];
    }
    return buffers;
}

std::vector<char> joined(const TestBuffers& buffers) {
    std::vector<char> all;
    for (const auto& data : buffers.data) {
        all.insert(all.end(), data.begin(), data.end());
    }
    return all;
}

class WaveOutAlsaTest : public testing::Test {
  protected:
    void SetUp() override {
        capturePath = testing::TempDir() + "zelvor_wave_out_" + std::to_string(getpid()) + ".raw";
        useAlsaConfig(CaptureConfig, capturePath);
        const std::lock_guard lock(NotificationLock);
        Notifications.clear();
        CallerThread = std::this_thread::get_id();
        UnprepareInCallback = false;
    }

    void TearDown() override { std::remove(capturePath.c_str()); }

    void open() {
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &PlayerFormat,
                              reinterpret_cast<DWORD_PTR>(&recordNotification), 0,
                              CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
    }

    void queue(TestBuffers& buffers) {
        for (WAVEHDR& header : buffers.headers) {
            ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
    }

    static std::vector<WAVEHDR*> addresses(TestBuffers& buffers) {
        std::vector<WAVEHDR*> all;
        for (WAVEHDR& header : buffers.headers) {
            all.push_back(&header);
        }
        return all;
    }

    std::string capturePath;
    HWAVEOUT device = nullptr;
};

TEST_F(WaveOutAlsaTest, PlaysEveryBufferCompleteAndInOrderAtFullSpeed) {
    UnprepareInCallback = true;
    // About 2.4 s of sound, in buffers of every size the ring may hand over.
    TestBuffers buffers =
        makeBuffers({16384, 44100, 4, 16384, 10000, 16384, 44100, 8, 16384, 44100, 16384}, 1);
    const auto start = std::chrono::steady_clock::now();
    open();
    queue(buffers);
    ASSERT_TRUE(waitForDone(buffers.headers.size()));
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(readCapture(capturePath), joined(buffers));
    EXPECT_EQ(doneHeaders(), addresses(buffers));
    const std::vector<Notification> seen = notifications();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front().message, WOM_OPEN);
    EXPECT_EQ(seen.back().message, WOM_CLOSE);
    for (const Notification& n : seen) {
        EXPECT_FALSE(n.onCallerThread) << "completions come from the device's thread";
        EXPECT_EQ(n.unprepareResult, MMSYSERR_NOERROR);
    }
    for (const WAVEHDR& header : buffers.headers) {
        EXPECT_EQ(header.dwFlags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED), WHDR_DONE);
    }
    // The null slave does not wait for the sound to be heard.
    EXPECT_LT(took, std::chrono::milliseconds(1200));
}

TEST_F(WaveOutAlsaTest, ResetDropsTheQueueAndTheDevicePlaysOnAfterIt) {
    TestBuffers dropped = makeBuffers({16384, 16384, 16384, 16384, 16384}, 2);
    TestBuffers played = makeBuffers({16384, 4000}, 3);
    open();
    // Paused, the device holds the buffers without playing them.
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    queue(dropped);
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    // Every queued buffer has come back before the reset returned.
    EXPECT_EQ(doneHeaders(), addresses(dropped));

    queue(played);
    ASSERT_TRUE(waitForDone(dropped.headers.size() + played.headers.size()));
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(readCapture(capturePath), joined(played));
}

TEST_F(WaveOutAlsaTest, QueuedBufferKeepsTheDeviceOpenAndItsHeaderPrepared) {
    TestBuffers buffers = makeBuffers({16384}, 4);
    WAVEHDR& header = buffers.headers[0];
    open();
    HWAVEOUT second = nullptr;
    EXPECT_EQ(waveOutOpen(&second, WAVE_MAPPER, &PlayerFormat, 0, 0, CALLBACK_NULL),
              MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    queue(buffers);

    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(header.dwFlags & WHDR_INQUEUE, WHDR_INQUEUE);

    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveOutAlsaTest, ProgramEndingWithTheDeviceOpenExitsWithItsStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TestBuffers buffers = makeBuffers({16384, 16384}, 5);
            open();
            waveOutPause(device);
            queue(buffers);
            std::exit(3);
        },
        testing::ExitedWithCode(3), "");
}

struct OpenFailureCase {
    const char* name;
    const char* config;
    WORD bitsPerSample;
    MMRESULT expected;
};

void PrintTo(const OpenFailureCase& c, std::ostream* out) {
    *out << c.name;
}

class WaveOutAlsaOpenFailure : public WaveOutAlsaTest,
                               public testing::WithParamInterface<OpenFailureCase> {};

TEST_P(WaveOutAlsaOpenFailure, FailsQuietlyAndLeavesNothingOpen) {
    const OpenFailureCase& c = GetParam();
    useAlsaConfig(c.config, capturePath);
    WAVEFORMATEX format = PlayerFormat;
    format.wBitsPerSample = c.bitsPerSample;
    format.nBlockAlign = static_cast<WORD>(format.nChannels * c.bitsPerSample / 8);
    testing::internal::CaptureStderr();
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format,
                          reinterpret_cast<DWORD_PTR>(&recordNotification), 0, CALLBACK_FUNCTION),
              c.expected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(device, nullptr);
    EXPECT_TRUE(notifications().empty());

    // Nothing was left behind: the capture device opens as usual.
    useAlsaConfig(CaptureConfig, capturePath);
    open();
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaveOutAlsaOpenFailure,
    testing::Values(OpenFailureCase{"NoDevice", NoDeviceConfig, 16, MMSYSERR_NODRIVER},
                    OpenFailureCase{"UnplayableFormat", CaptureConfig, 24, WAVERR_BADFORMAT}),
    [](const testing::TestParamInfo<OpenFailureCase>& test) { return test.param.name; });

} // namespace

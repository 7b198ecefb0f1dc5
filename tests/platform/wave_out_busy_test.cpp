// A minute of playback through the ALSA layer into a real-time device (a
// sound server's null sink) while other processes keep every core busy:
// the device thread must keep the device fed. Run it with a server, e.g.
//
//   tests/support/sound_server/with-sound-server pulse --
//       build/ci/tests/platform/wave_out_busy_tests
//
// (one line).
//
// ZELVOR_BUSY_SECONDS sets how long it plays (60 by default).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/wave_out.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr WAVEFORMATEX PlayerFormat{WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
constexpr std::size_t BufferCount = 20;
constexpr DWORD BufferBytes = 16384;

std::mutex FreeLock;
std::condition_variable FreeChanged;
std::vector<WAVEHDR*> Free;

void CALLBACK bufferDone(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != WOM_DONE) {
        return;
    }
    const std::lock_guard lock(FreeLock);
    Free.push_back(reinterpret_cast<WAVEHDR*>(param1));
    FreeChanged.notify_all();
}

// One spinning process per core, at the same priority as the test.
std::vector<pid_t> keepCoresBusy() {
    std::vector<pid_t> spinners;
    const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    for (long i = 0; i < cores; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            volatile std::uint64_t spin = 0;
            for (;;) {
                spin = spin + 1;
            }
        }
        spinners.push_back(pid);
    }
    return spinners;
}

void stopSpinners(const std::vector<pid_t>& spinners) {
    for (const pid_t pid : spinners) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

TEST(WaveOutBusy, AMinuteOfPlaybackWithEveryCoreBusyHasNoUnderrun) {
    const char* secondsText = std::getenv("ZELVOR_BUSY_SECONDS");
    const int seconds = secondsText != nullptr ? std::atoi(secondsText) : 60;
    ASSERT_GT(seconds, 0);

    std::vector<std::array<std::int16_t, BufferBytes / 2>> data(BufferCount);
    std::vector<WAVEHDR> headers(BufferCount);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &PlayerFormat,
                          reinterpret_cast<DWORD_PTR>(&bufferDone), 0, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR)
        << "no device: run this under with-sound-server";
    for (std::size_t i = 0; i < BufferCount; ++i) {
        headers[i] = WAVEHDR{};
        headers[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
        headers[i].dwBufferLength = BufferBytes;
        Free.push_back(&headers[i]);
    }

    const std::vector<pid_t> spinners = keepCoresBusy();
    const std::uint64_t framesWanted = static_cast<std::uint64_t>(seconds) * 22050;
    std::uint64_t framesQueued = 0;
    std::uint32_t phase = 0;
    const auto started = Clock::now();
    bool stalled = false;
    while (framesQueued < framesWanted) {
        WAVEHDR* header = nullptr;
        {
            std::unique_lock lock(FreeLock);
            if (!FreeChanged.wait_for(lock, std::chrono::seconds(5),
                                      [] { return !Free.empty(); })) {
                stalled = true;
                break;
            }
            header = Free.back();
            Free.pop_back();
        }
        // A quiet sawtooth: something to hear, no silence a server might skip.
        auto* samples = reinterpret_cast<std::int16_t*>(header->lpData);
        for (DWORD s = 0; s < BufferBytes / 2; ++s) {
            samples[s] = static_cast<std::int16_t>((phase++ % 200) * 20 - 2000);
        }
        waveOutUnprepareHeader(device, header, sizeof(WAVEHDR));
        ASSERT_EQ(waveOutPrepareHeader(device, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        framesQueued += BufferBytes / 4;
    }
    {
        std::unique_lock lock(FreeLock);
        FreeChanged.wait_for(lock, std::chrono::seconds(10),
                             [] { return Free.size() == BufferCount; });
    }
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    stopSpinners(spinners);
    const double took = std::chrono::duration<double>(Clock::now() - started).count();

    EXPECT_FALSE(stalled) << "the device stopped taking buffers";
    EXPECT_EQ(waveOutUnderruns(), 0u);
    // It played in real time, not into a device that swallows everything.
    EXPECT_GT(took, seconds * 0.9);
    std::printf("played %d s in %.2f s with every core busy: %llu underruns\n", seconds, took,
                static_cast<unsigned long long>(waveOutUnderruns()));
}

} // namespace

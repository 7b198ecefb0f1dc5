// A wave output device for tests that plays in real time without a sound
// card: each queued buffer takes as long as its sound would last, then is
// reported done. Linked in place of the ALSA layer into a test build of the
// player, so that a key press can arrive while the track is still playing.
// With ZELVOR_PACED_CAPTURE set, the samples of every buffer that played to
// its end (not those a reset gave back) are appended to that file. With
// ZELVOR_PACED_REPORT set, opening and closing print the caller's nice value
// on the player's console ("[open nice N]", "[close nice N]"), so that a test
// sees them in order with the player's own texts.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <thread>

#include "platform/wave_out.h"

struct WaveOutDevice {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<WAVEHDR*> queue;
    std::thread player;
    LPWAVECALLBACK callback = nullptr;
    DWORD_PTR instance = 0;
    bool paused = false;
    bool closing = false;
    std::FILE* capture = nullptr;
};

namespace {

WaveOutDevice Device;
constexpr double BytesPerSecond = 88200.0;

void reportNice(const char* when) {
    if (std::getenv("ZELVOR_PACED_REPORT") != nullptr) {
        std::printf("[%s nice %d]\n", when, getpriority(PRIO_PROCESS, 0));
        std::fflush(stdout);
    }
}

void report(WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Device.callback(&Device, WOM_DONE, Device.instance, reinterpret_cast<DWORD_PTR>(header), 0);
}

void play() {
    std::unique_lock<std::mutex> held(Device.lock);
    for (;;) {
        Device.changed.wait(
            held, [] { return Device.closing || (!Device.paused && !Device.queue.empty()); });
        if (Device.closing) {
            return;
        }
        WAVEHDR* const header = Device.queue.front();
        const auto lasts = std::chrono::duration<double>(header->dwBufferLength / BytesPerSecond);
        // A reset while the buffer plays takes it away and reports it itself.
        if (Device.changed.wait_for(held, lasts, [&] {
                return Device.closing || Device.queue.empty() || Device.queue.front() != header;
            })) {
            continue;
        }
        Device.queue.pop_front();
        held.unlock();
        if (Device.capture != nullptr) {
            std::fwrite(header->lpData, 1, header->dwBufferLength, Device.capture);
        }
        report(header);
        held.lock();
    }
}

} // namespace

MMRESULT waveOutOpen(LPHWAVEOUT device, UINT, LPCWAVEFORMATEX, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD) {
    Device.callback = reinterpret_cast<LPWAVECALLBACK>(callback);
    Device.instance = instance;
    if (const char* const capture = std::getenv("ZELVOR_PACED_CAPTURE")) {
        Device.capture = std::fopen(capture, "wb");
    }
    reportNice("open");
    Device.player = std::thread(play);
    *device = &Device;
    Device.callback(&Device, WOM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT, LPWAVEHDR header, UINT) {
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT) {
    const std::lock_guard<std::mutex> held(device->lock);
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        return WAVERR_STILLPLAYING;
    }
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT) {
    const std::lock_guard<std::mutex> held(device->lock);
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    device->queue.push_back(header);
    device->changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
    const std::lock_guard<std::mutex> held(device->lock);
    device->paused = true;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    std::deque<WAVEHDR*> givenBack;
    {
        const std::lock_guard<std::mutex> held(device->lock);
        givenBack.swap(device->queue);
        device->paused = false;
        device->changed.notify_all();
    }
    for (WAVEHDR* header : givenBack) {
        report(header);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    {
        const std::lock_guard<std::mutex> held(device->lock);
        if (!device->queue.empty()) {
            return WAVERR_STILLPLAYING;
        }
        device->closing = true;
        device->changed.notify_all();
    }
    reportNice("close");
    device->player.join();
    if (device->capture != nullptr) {
        std::fclose(device->capture);
        device->capture = nullptr;
    }
    device->callback(device, WOM_CLOSE, device->instance, 0, 0);
    return MMSYSERR_NOERROR;
}

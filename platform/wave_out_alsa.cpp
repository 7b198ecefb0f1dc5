// Waveform output over ALSA's "default" PCM. One device thread does all the
// PCM work: it plays the queued buffers in the order written with blocking
// writes of one period at a time, and calls the completion function for each
// buffer once it has been heard (or given back by a reset). The completion
// function is always called with the device's lock released, so it may call
// back into this layer (waveOutUnprepareHeader, for instance).
#include "platform/wave_out.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <thread>

struct WaveOutDevice {
    snd_pcm_t* pcm;
    LPWAVECALLBACK callback;
    DWORD_PTR instance;
    UINT frameBytes;
    UINT framesPerSecond;
    snd_pcm_uframes_t bufferFrames;
    snd_pcm_uframes_t chunkFrames;
    bool canPause;
    bool open;

    // Buffers written but not yet fully handed to ALSA, chained through
    // lpNext; the first one is handed over from headOffset on.
    WAVEHDR* queueHead;
    WAVEHDR* queueTail;
    DWORD headOffset;
    // Buffers handed over whole but maybe not yet heard; each one's
    // `reserved` holds the frame count written when it was complete.
    WAVEHDR* playingHead;
    WAVEHDR* playingTail;
    std::uint64_t framesWritten;

    bool pauseRequested;
    bool pcmPaused;
    bool resetRequested;
    bool closeRequested;
    std::uint64_t resetsDone;

    std::thread thread;
};

namespace {

WaveOutDevice Device{};
// Guards every field of Device that both threads touch, and the flags and
// chaining of queued headers.
std::mutex DeviceLock;
std::condition_variable DeviceWake;
std::condition_variable ResetDone;

// How long the device thread waits between looks at what has been heard.
constexpr auto HearingPoll = std::chrono::milliseconds(20);
// ALSA's buffer: long enough to ride out scheduling hiccups, short enough
// that the last buffer is reported soon after it was heard.
constexpr unsigned int DeviceLatencyMicroseconds = 200000;

// ALSA writes its diagnostics to standard error; this program does not.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

bool isOpenDevice(HWAVEOUT device) {
    return device == &Device && Device.open;
}

bool onDeviceThread() {
    return std::this_thread::get_id() == Device.thread.get_id();
}

void appendTo(WAVEHDR*& head, WAVEHDR*& tail, WAVEHDR* header) {
    header->lpNext = nullptr;
    if (tail == nullptr) {
        head = header;
    } else {
        tail->lpNext = header;
    }
    tail = header;
}

void markDone(WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

void notify(UINT message, WAVEHDR* header) {
    if (Device.callback != nullptr) {
        Device.callback(&Device, message, Device.instance, reinterpret_cast<DWORD_PTR>(header), 0);
    }
}

// Reports a chain of finished headers, in order, with the lock released.
// The chain is walked before each report: once reported, a header belongs
// to its owner again.
void reportDone(std::unique_lock<std::mutex>& lock, WAVEHDR* chain) {
    if (chain == nullptr) {
        return;
    }
    lock.unlock();
    while (chain != nullptr) {
        WAVEHDR* header = chain;
        chain = header->reserved == 0 ? nullptr : reinterpret_cast<WAVEHDR*>(header->reserved);
        notify(WOM_DONE, header);
    }
    lock.lock();
}

// Unlinks the finished headers and marks them done; the result is chained
// through `reserved`, as lpNext of a done header is no longer ours to keep.
WAVEHDR* takeDone(WAVEHDR*& head, WAVEHDR*& tail, std::uint64_t framesHeard, bool all) {
    WAVEHDR* first = nullptr;
    WAVEHDR* last = nullptr;
    while (head != nullptr && (all || head->reserved <= framesHeard)) {
        WAVEHDR* header = head;
        head = header->lpNext;
        markDone(header);
        header->reserved = 0;
        if (last == nullptr) {
            first = header;
        } else {
            last->reserved = reinterpret_cast<DWORD_PTR>(header);
        }
        last = header;
    }
    if (head == nullptr) {
        tail = nullptr;
    }
    return first;
}

// Frames ALSA still holds that have not been heard; 0 once it has run dry.
// With nothing more to write, a PCM that has not started yet is started:
// less than ALSA's start threshold was written, and it would otherwise hold
// the end of the track for ever.
snd_pcm_uframes_t framesUnheard(snd_pcm_t* pcm, bool nothingMoreToWrite) {
    const snd_pcm_state_t state = snd_pcm_state(pcm);
    if (state == SND_PCM_STATE_PREPARED && nothingMoreToWrite) {
        if (snd_pcm_start(pcm) < 0) {
            return 0;
        }
    } else if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED) {
        return 0;
    }
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm, &delay) == 0 && delay >= 0) {
        return static_cast<snd_pcm_uframes_t>(delay);
    }
    // Some devices cannot tell yet (a sound server before its first timing
    // report): then at least what ALSA's buffer holds is still unheard.
    const snd_pcm_sframes_t room = snd_pcm_avail(pcm);
    if (room < 0) {
        // The device has failed: nothing more will be heard.
        return 0;
    }
    const auto freeFrames = static_cast<snd_pcm_uframes_t>(room);
    return freeFrames < Device.bufferFrames ? Device.bufferFrames - freeFrames : 0;
}

// Takes the buffers that have been heard, given how much ALSA still holds.
WAVEHDR* takeHeard(snd_pcm_uframes_t unheard) {
    const std::uint64_t heard = unheard < Device.framesWritten ? Device.framesWritten - unheard : 0;
    return takeDone(Device.playingHead, Device.playingTail, heard, false);
}

// Writes the frames with blocking writes, starting again after an underrun
// or a suspend without losing any. Returns the frames written, fewer only
// when the device has failed for good.
snd_pcm_uframes_t writeFrames(snd_pcm_t* pcm, const char* bytes, snd_pcm_uframes_t frames,
                              UINT frameBytes) {
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        snd_pcm_sframes_t written = snd_pcm_writei(pcm, bytes + done * frameBytes, frames - done);
        if (written == -EAGAIN) {
            continue;
        }
        if (written < 0) {
            if (snd_pcm_recover(pcm, static_cast<int>(written), 1) < 0) {
                break;
            }
            continue;
        }
        done += static_cast<snd_pcm_uframes_t>(written);
    }
    return done;
}

void runDevice() {
    notify(WOM_OPEN, nullptr);
    std::unique_lock lock(DeviceLock);
    for (;;) {
        if (Device.resetRequested) {
            lock.unlock();
            snd_pcm_drop(Device.pcm);
            snd_pcm_prepare(Device.pcm);
            lock.lock();
            Device.pcmPaused = false;
            Device.pauseRequested = false;
            Device.headOffset = 0;
            WAVEHDR* played = takeDone(Device.playingHead, Device.playingTail, 0, true);
            WAVEHDR* queued = takeDone(Device.queueHead, Device.queueTail, 0, true);
            reportDone(lock, played);
            reportDone(lock, queued);
            Device.resetRequested = false;
            ++Device.resetsDone;
            ResetDone.notify_all();
            continue;
        }
        if (Device.closeRequested) {
            break;
        }
        if (Device.pauseRequested) {
            if (!Device.pcmPaused) {
                lock.unlock();
                if (Device.canPause && snd_pcm_state(Device.pcm) == SND_PCM_STATE_RUNNING) {
                    snd_pcm_pause(Device.pcm, 1);
                }
                lock.lock();
                Device.pcmPaused = true;
            }
            DeviceWake.wait(lock);
            continue;
        }
        if (Device.queueHead != nullptr) {
            WAVEHDR* header = Device.queueHead;
            const snd_pcm_uframes_t remaining =
                (header->dwBufferLength - Device.headOffset) / Device.frameBytes;
            const snd_pcm_uframes_t chunk = std::min(remaining, Device.chunkFrames);
            const char* bytes = header->lpData + Device.headOffset;
            lock.unlock();
            const snd_pcm_uframes_t written =
                writeFrames(Device.pcm, bytes, chunk, Device.frameBytes);
            const snd_pcm_uframes_t unheard = framesUnheard(Device.pcm, false);
            lock.lock();
            Device.framesWritten += written;
            if (Device.resetRequested) {
                continue;
            }
            if (written < chunk || written == remaining) {
                // Handed over whole, or the device failed and the rest of
                // this buffer is given up.
                Device.queueHead = header->lpNext;
                if (Device.queueHead == nullptr) {
                    Device.queueTail = nullptr;
                }
                Device.headOffset = 0;
                header->reserved = Device.framesWritten;
                appendTo(Device.playingHead, Device.playingTail, header);
            } else {
                Device.headOffset += static_cast<DWORD>(written * Device.frameBytes);
            }
            reportDone(lock, takeHeard(unheard));
            continue;
        }
        if (Device.playingHead != nullptr) {
            lock.unlock();
            const snd_pcm_uframes_t unheard = framesUnheard(Device.pcm, true);
            lock.lock();
            if (Device.resetRequested || Device.pauseRequested || Device.queueHead != nullptr) {
                continue;
            }
            WAVEHDR* heard = takeHeard(unheard);
            if (heard != nullptr) {
                reportDone(lock, heard);
                continue;
            }
            const auto untilHeard = std::chrono::microseconds(static_cast<std::int64_t>(unheard) *
                                                              1000000 / Device.framesPerSecond);
            DeviceWake.wait_for(lock, std::clamp(untilHeard, std::chrono::microseconds(1000),
                                                 std::chrono::microseconds(HearingPoll)));
            continue;
        }
        DeviceWake.wait(lock);
    }
    lock.unlock();
    notify(WOM_CLOSE, nullptr);
}

snd_pcm_format_t alsaFormatOf(const WAVEFORMATEX& format) {
    if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels < 1 || format.nChannels > 2 ||
        format.nSamplesPerSec == 0 ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
        return SND_PCM_FORMAT_UNKNOWN;
    }
    switch (format.wBitsPerSample) {
    case 8:
        return SND_PCM_FORMAT_U8;
    case 16:
        return SND_PCM_FORMAT_S16_LE;
    default:
        return SND_PCM_FORMAT_UNKNOWN;
    }
}

// Ends the device thread when the program ends with the device still open
// (a failure elsewhere ending it at once): a running thread must not outlive
// the objects it uses, and ending the process with it still joinable would
// abort instead of exiting with the program's status.
void stopDeviceAtExit() {
    {
        const std::lock_guard lock(DeviceLock);
        if (!Device.thread.joinable() || onDeviceThread()) {
            return;
        }
        Device.open = false;
        Device.closeRequested = true;
    }
    DeviceWake.notify_all();
    Device.thread.join();
    snd_pcm_drop(Device.pcm);
    snd_pcm_close(Device.pcm);
    Device.pcm = nullptr;
}

bool headerUsable(LPWAVEHDR header, UINT headerSize) {
    return header != nullptr && headerSize == sizeof(WAVEHDR);
}

} // namespace

MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
    if (device == nullptr || format == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if (deviceId != WAVE_MAPPER && deviceId != 0) {
        return MMSYSERR_BADDEVICEID;
    }
    if (flags != CALLBACK_FUNCTION && flags != CALLBACK_NULL) {
        return MMSYSERR_INVALFLAG;
    }
    const snd_pcm_format_t alsaFormat = alsaFormatOf(*format);
    if (alsaFormat == SND_PCM_FORMAT_UNKNOWN) {
        return WAVERR_BADFORMAT;
    }
    {
        const std::lock_guard lock(DeviceLock);
        if (Device.open || Device.thread.joinable()) {
            return MMSYSERR_ALLOCATED;
        }
    }

    static const bool StopAtExitRegistered = std::atexit(stopDeviceAtExit) == 0;
    static_cast<void>(StopAtExitRegistered);
    snd_lib_error_set_handler(quietAlsa);
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        return MMSYSERR_NODRIVER;
    }
    // Conversion and resampling allowed, so any card or sound server takes it.
    if (snd_pcm_set_params(pcm, alsaFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format->nChannels,
                           format->nSamplesPerSec, 1, DeviceLatencyMicroseconds) < 0) {
        snd_pcm_close(pcm);
        return WAVERR_BADFORMAT;
    }
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    if (snd_pcm_get_params(pcm, &bufferFrames, &periodFrames) < 0 || periodFrames == 0) {
        periodFrames = 1024;
    }
    snd_pcm_hw_params_t* hardware = nullptr;
    snd_pcm_hw_params_alloca(&hardware);
    const bool canPause =
        snd_pcm_hw_params_current(pcm, hardware) == 0 && snd_pcm_hw_params_can_pause(hardware) == 1;

    const std::lock_guard lock(DeviceLock);
    Device = WaveOutDevice{};
    Device.pcm = pcm;
    Device.callback =
        flags == CALLBACK_FUNCTION ? reinterpret_cast<LPWAVECALLBACK>(callback) : nullptr;
    Device.instance = instance;
    Device.frameBytes = format->nBlockAlign;
    Device.framesPerSecond = format->nSamplesPerSec;
    Device.bufferFrames = bufferFrames;
    Device.chunkFrames = periodFrames;
    Device.canPause = canPause;
    Device.open = true;
    Device.thread = std::thread(runDevice);
    *device = &Device;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT headerSize) {
    const std::lock_guard lock(DeviceLock);
    if (!isOpenDevice(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!headerUsable(header, headerSize)) {
        return MMSYSERR_INVALPARAM;
    }
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT headerSize) {
    const std::lock_guard lock(DeviceLock);
    if (!isOpenDevice(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!headerUsable(header, headerSize)) {
        return MMSYSERR_INVALPARAM;
    }
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        return WAVERR_STILLPLAYING;
    }
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT headerSize) {
    {
        const std::lock_guard lock(DeviceLock);
        if (!isOpenDevice(device)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!headerUsable(header, headerSize) ||
            (header->lpData == nullptr && header->dwBufferLength != 0)) {
            return MMSYSERR_INVALPARAM;
        }
        if ((header->dwFlags & WHDR_PREPARED) == 0) {
            return WAVERR_UNPREPARED;
        }
        if ((header->dwFlags & WHDR_INQUEUE) != 0) {
            return WAVERR_STILLPLAYING;
        }
        header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        header->reserved = 0;
        appendTo(Device.queueHead, Device.queueTail, header);
    }
    DeviceWake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
    {
        const std::lock_guard lock(DeviceLock);
        if (!isOpenDevice(device)) {
            return MMSYSERR_INVALHANDLE;
        }
        Device.pauseRequested = true;
    }
    DeviceWake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    std::unique_lock lock(DeviceLock);
    if (!isOpenDevice(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    // The device thread does the reset; waiting for it from a completion
    // function would never end.
    if (onDeviceThread()) {
        return MMSYSERR_HANDLEBUSY;
    }
    const std::uint64_t target = Device.resetsDone + 1;
    Device.resetRequested = true;
    DeviceWake.notify_all();
    // Returns only when every given-back buffer has been reported.
    ResetDone.wait(lock, [target] { return Device.resetsDone >= target; });
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    {
        const std::lock_guard lock(DeviceLock);
        if (!isOpenDevice(device)) {
            return MMSYSERR_INVALHANDLE;
        }
        if (onDeviceThread()) {
            return MMSYSERR_HANDLEBUSY;
        }
        if (Device.queueHead != nullptr || Device.playingHead != nullptr) {
            return WAVERR_STILLPLAYING;
        }
        Device.open = false;
        Device.closeRequested = true;
    }
    DeviceWake.notify_all();
    // After the join no completion can come any more.
    Device.thread.join();
    // Hands on what ALSA still holds (a file plugin writes its last bytes).
    snd_pcm_drain(Device.pcm);
    snd_pcm_close(Device.pcm);
    const std::lock_guard lock(DeviceLock);
    Device.pcm = nullptr;
    return MMSYSERR_NOERROR;
}

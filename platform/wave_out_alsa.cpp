// Waveform output over ALSA's "default" PCM. One device thread does all the
// PCM work: it hands the queued buffers to ALSA in the order written and
// reports each one done (WOM_DONE) as soon as ALSA holds its last frame, so
// the caller can refill it while ALSA's own buffer plays; the close plays
// out what ALSA still holds. The PCM runs in non-blocking mode and the
// thread sleeps in poll() on its descriptors and on a wake-up descriptor of
// its own until the device has room or the caller wants something, so every
// request is seen at once and nothing is polled on a timer while playing.
//
// A device that fails for good (a sound server that stopped or restarted)
// is opened again every half second; playback goes on from the first frame
// ALSA had not taken. When it does not come back, every buffer is given
// back and waveOutWrite answers MMSYSERR_NODRIVER from then on.
//
// The completion function is always called with the device's lock
// released, so it may call back into this layer.
#include "platform/wave_out.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// ALSA's buffer; the device thread wakes once a period (a quarter of it) to
// refill it. Long periods keep the wake-ups few, and the buffer rides out a
// loaded machine.
constexpr unsigned int DeviceBufferMicroseconds = 400000;
// A device that takes no frame for this long while it should be playing has
// stopped; it is treated like one that reported a failure.
constexpr auto StallLimit = std::chrono::seconds(2);
constexpr auto ReopenInterval = std::chrono::milliseconds(500);
// Long enough for a sound server to restart, short enough that the ring's
// 10 s wait for a free slot sees the device given up rather than timing out.
constexpr auto ReopenGiveUp = std::chrono::seconds(9);
// How long the close waits for ALSA's buffer to play out beyond its length.
constexpr auto PlayOutMargin = std::chrono::seconds(2);
constexpr std::size_t QueueCapacity = 64;
constexpr int MaxPollDescriptors = 16;

} // namespace

// What both threads share, guarded by DeviceLock.
struct WaveOutDevice {
    LPWAVECALLBACK callback;
    DWORD_PTR instance;
    UINT frameBytes;
    snd_pcm_format_t format;
    UINT channels;
    UINT framesPerSecond;
    bool open;

    // Buffers written and not yet wholly handed to ALSA, oldest first; the
    // first one has been handed over up to headOffset bytes.
    std::array<WAVEHDR*, QueueCapacity> queue;
    std::size_t queueFirst;
    std::size_t queueCount;
    DWORD headOffset;

    bool pauseRequested;
    bool resetRequested;
    bool closeRequested;
    std::uint64_t resetsDone;
    // The device failed and did not come back.
    bool gone;
    std::atomic<std::uint64_t> underruns;

    std::thread thread;
};

namespace {

WaveOutDevice Device{};
std::mutex DeviceLock;
std::condition_variable ResetDone;
// Written by any thread that wants the device thread to look again.
int WakeDescriptor = -1;

// The PCM and what only the device thread (and the close, after the device
// thread has ended) touches.
struct PcmState {
    snd_pcm_t* pcm;
    snd_pcm_uframes_t bufferFrames;
    snd_pcm_uframes_t periodFrames;
    bool canPause;
    bool paused;
    // Frames written since the PCM was last prepared.
    std::uint64_t framesSincePrepare;
    Clock::time_point lastProgress;
    // Set while the device is being opened again after a failure.
    bool reopening;
    Clock::time_point failedAt;
    Clock::time_point nextReopen;
};
PcmState Alsa{};

// ALSA writes its diagnostics to standard error; this program does not.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

bool isOpenDevice(HWAVEOUT device) {
    return device == &Device && Device.open;
}

bool onDeviceThread() {
    return std::this_thread::get_id() == Device.thread.get_id();
}

void wakeDevice() {
    const std::uint64_t one = 1;
    // A full counter still wakes the thread; nothing else can go wrong here.
    static_cast<void>(write(WakeDescriptor, &one, sizeof one));
}

void clearWake() {
    std::uint64_t count = 0;
    static_cast<void>(read(WakeDescriptor, &count, sizeof count));
}

void notify(UINT message, WAVEHDR* header) {
    if (Device.callback != nullptr) {
        Device.callback(&Device, message, Device.instance, reinterpret_cast<DWORD_PTR>(header), 0);
    }
}

WAVEHDR* queueHead() {
    return Device.queue[Device.queueFirst];
}

void queueAppend(WAVEHDR* header) {
    Device.queue[(Device.queueFirst + Device.queueCount) % QueueCapacity] = header;
    ++Device.queueCount;
}

WAVEHDR* queueTakeHead() {
    WAVEHDR* header = queueHead();
    Device.queueFirst = (Device.queueFirst + 1) % QueueCapacity;
    --Device.queueCount;
    Device.headOffset = 0;
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    return header;
}

// Headers taken off the queue, to be reported once the lock is released.
struct DoneList {
    std::array<WAVEHDR*, QueueCapacity> headers;
    std::size_t count;
};

void takeAll(DoneList& done) {
    while (Device.queueCount > 0) {
        done.headers[done.count++] = queueTakeHead();
    }
}

// Reports in order, with the lock released: once reported, a header belongs
// to its owner again and may be written anew before the next one is reported.
void reportDone(std::unique_lock<std::mutex>& lock, DoneList& done) {
    if (done.count == 0) {
        return;
    }
    lock.unlock();
    for (std::size_t i = 0; i < done.count; ++i) {
        notify(WOM_DONE, done.headers[i]);
    }
    done.count = 0;
    lock.lock();
}

// Opens the default PCM for the device's format; nullptr when it cannot.
snd_pcm_t* openPcm() {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return nullptr;
    }
    // Conversion and resampling allowed, so any card or sound server takes it.
    if (snd_pcm_set_params(pcm, Device.format, SND_PCM_ACCESS_RW_INTERLEAVED, Device.channels,
                           Device.framesPerSecond, 1, DeviceBufferMicroseconds) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    if (snd_pcm_get_params(pcm, &bufferFrames, &periodFrames) < 0 || periodFrames == 0) {
        periodFrames = 1024;
    }
    Alsa.pcm = pcm;
    Alsa.bufferFrames = bufferFrames;
    Alsa.periodFrames = periodFrames;
    snd_pcm_hw_params_t* hardware = nullptr;
    snd_pcm_hw_params_alloca(&hardware);
    Alsa.canPause =
        snd_pcm_hw_params_current(pcm, hardware) == 0 && snd_pcm_hw_params_can_pause(hardware) == 1;
    Alsa.paused = false;
    Alsa.framesSincePrepare = 0;
    Alsa.lastProgress = Clock::now();
    return pcm;
}

void closePcm() {
    if (Alsa.pcm != nullptr) {
        snd_pcm_drop(Alsa.pcm);
        snd_pcm_close(Alsa.pcm);
        Alsa.pcm = nullptr;
    }
}

// The device failed for good: what ALSA held is lost; the queue keeps what
// had not been handed over, to be played when the device is back.
void deviceFailed() {
    closePcm();
    Alsa.reopening = true;
    Alsa.failedAt = Clock::now();
    Alsa.nextReopen = Alsa.failedAt + ReopenInterval;
}

// Sleeps until woken, until the PCM has room (withPcm) or until timeout
// milliseconds have passed (-1: no limit). The lock is released meanwhile.
void sleepUntilWoken(std::unique_lock<std::mutex>& lock, int timeout, bool withPcm) {
    std::array<pollfd, MaxPollDescriptors + 1> descriptors{};
    descriptors[0] = {WakeDescriptor, POLLIN, 0};
    int pcmCount = 0;
    if (withPcm && Alsa.pcm != nullptr) {
        pcmCount = std::clamp(snd_pcm_poll_descriptors_count(Alsa.pcm), 0, MaxPollDescriptors);
        pcmCount = std::max(0, snd_pcm_poll_descriptors(Alsa.pcm, descriptors.data() + 1,
                                                        static_cast<unsigned int>(pcmCount)));
    }
    lock.unlock();
    const int ready = poll(descriptors.data(), static_cast<nfds_t>(pcmCount + 1), timeout);
    if (ready > 0 && (descriptors[0].revents & POLLIN) != 0) {
        clearWake();
    }
    if (ready > 0 && pcmCount > 0) {
        // Lets the PCM's plugin take what its descriptors said; the state is
        // looked at again by the caller.
        unsigned short events = 0;
        snd_pcm_poll_descriptors_revents(Alsa.pcm, descriptors.data() + 1,
                                         static_cast<unsigned int>(pcmCount), &events);
    }
    lock.lock();
}

// Writes what the PCM takes now of frames at bytes. Returns the frames
// written (0: no room yet), or -1 when the device has failed for good.
snd_pcm_sframes_t writeSome(const char* bytes, snd_pcm_uframes_t frames) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const snd_pcm_sframes_t written = snd_pcm_writei(Alsa.pcm, bytes, frames);
        if (written >= 0) {
            if (written > 0) {
                Alsa.framesSincePrepare += static_cast<std::uint64_t>(written);
                Alsa.lastProgress = Clock::now();
            }
            return written;
        }
        if (written == -EAGAIN) {
            return 0;
        }
        if (written == -EPIPE) {
            Device.underruns.fetch_add(1, std::memory_order_relaxed);
        }
        // An underrun or a suspend: start again without losing a frame.
        if (snd_pcm_recover(Alsa.pcm, static_cast<int>(written), 1) < 0) {
            return -1;
        }
        Alsa.framesSincePrepare = 0;
    }
    return -1;
}

// Stops the device and empties ALSA's buffer, ready to play anew.
void dropPcm() {
    if (Alsa.pcm != nullptr) {
        snd_pcm_drop(Alsa.pcm);
        snd_pcm_prepare(Alsa.pcm);
    }
    Alsa.paused = false;
    Alsa.framesSincePrepare = 0;
}

void pausePcm() {
    if (Alsa.pcm != nullptr) {
        if (Alsa.canPause && snd_pcm_state(Alsa.pcm) == SND_PCM_STATE_RUNNING) {
            snd_pcm_pause(Alsa.pcm, 1);
        } else {
            // A device that cannot pause stops instead; a reset follows a pause.
            dropPcm();
        }
    }
    Alsa.paused = true;
}

void doReset(std::unique_lock<std::mutex>& lock) {
    // What ALSA holds already belongs to buffers reported done; it is
    // silenced only when the caller paused (a stop) or buffers were still
    // queued, and otherwise plays out at the close.
    const bool silence = Device.pauseRequested || Alsa.paused || Device.queueCount > 0;
    DoneList done{};
    takeAll(done);
    Device.pauseRequested = false;
    lock.unlock();
    if (silence) {
        dropPcm();
    }
    lock.lock();
    reportDone(lock, done);
    Device.resetRequested = false;
    ++Device.resetsDone;
    ResetDone.notify_all();
}

// Tries to open the device again; gives every buffer back when the time
// for that has run out.
void tryReopen(std::unique_lock<std::mutex>& lock) {
    const auto now = Clock::now();
    if (now >= Alsa.nextReopen) {
        lock.unlock();
        const bool back = openPcm() != nullptr;
        lock.lock();
        if (back) {
            Alsa.reopening = false;
            return;
        }
        Alsa.nextReopen = now + ReopenInterval;
        if (now - Alsa.failedAt >= ReopenGiveUp) {
            Alsa.reopening = false;
            Device.gone = true;
            DoneList done{};
            takeAll(done);
            reportDone(lock, done);
            return;
        }
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(Alsa.nextReopen - Clock::now());
    sleepUntilWoken(lock, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)), false);
}

// Hands the first queued buffer to ALSA as far as it has room, and reports
// it done once ALSA holds all of it.
void feedDevice(std::unique_lock<std::mutex>& lock) {
    WAVEHDR* header = queueHead();
    const DWORD offset = Device.headOffset;
    const snd_pcm_uframes_t frames = (header->dwBufferLength - offset) / Device.frameBytes;
    const char* bytes = header->lpData + offset;
    lock.unlock();
    const snd_pcm_sframes_t written = frames == 0 ? 0 : writeSome(bytes, frames);
    lock.lock();
    if (written < 0) {
        deviceFailed();
        return;
    }
    Device.headOffset += static_cast<DWORD>(written) * Device.frameBytes;
    if (static_cast<snd_pcm_uframes_t>(written) == frames) {
        DoneList done{};
        done.headers[done.count++] = queueTakeHead();
        reportDone(lock, done);
        return;
    }
    if (written > 0 || Device.resetRequested || Device.closeRequested || Device.pauseRequested) {
        return;
    }
    // No room: sleep until ALSA has taken a period, or a request comes.
    if (Clock::now() - Alsa.lastProgress > StallLimit) {
        deviceFailed();
        return;
    }
    const snd_pcm_state_t state = snd_pcm_state(Alsa.pcm);
    if (state == SND_PCM_STATE_PREPARED && Alsa.framesSincePrepare > 0) {
        // A full buffer that did not start by itself.
        snd_pcm_start(Alsa.pcm);
    } else if (state == SND_PCM_STATE_DISCONNECTED || snd_pcm_avail_update(Alsa.pcm) < 0) {
        if (state != SND_PCM_STATE_XRUN && state != SND_PCM_STATE_SUSPENDED) {
            deviceFailed();
            return;
        }
    }
    const auto period = static_cast<int>(Alsa.periodFrames * 1000 / Device.framesPerSecond);
    sleepUntilWoken(lock, std::max(period, 5), true);
}

void runDevice() {
    notify(WOM_OPEN, nullptr);
    std::unique_lock lock(DeviceLock);
    for (;;) {
        if (Device.resetRequested) {
            doReset(lock);
            continue;
        }
        if (Device.closeRequested) {
            break;
        }
        if (Device.pauseRequested) {
            if (!Alsa.paused) {
                lock.unlock();
                pausePcm();
                lock.lock();
            } else {
                sleepUntilWoken(lock, -1, false);
            }
            continue;
        }
        if (Alsa.reopening) {
            tryReopen(lock);
            continue;
        }
        if (Device.queueCount > 0 && Alsa.pcm != nullptr) {
            feedDevice(lock);
            continue;
        }
        // Nothing to hand over: a PCM holding less than its start threshold
        // (a short track, or the end of one) is started so that it plays.
        if (Alsa.pcm != nullptr && Alsa.framesSincePrepare > 0 &&
            snd_pcm_state(Alsa.pcm) == SND_PCM_STATE_PREPARED) {
            snd_pcm_start(Alsa.pcm);
        }
        sleepUntilWoken(lock, -1, false);
    }
    lock.unlock();
    notify(WOM_CLOSE, nullptr);
}

// Lets ALSA play what it holds, then closes the PCM. A sound server may
// hold back the last frames short of a period until more come, so a device
// that stops taking frames gets a period of silence after them.
void playOutAndClose() {
    snd_pcm_t* pcm = Alsa.pcm;
    if (pcm == nullptr) {
        return;
    }
    if (Alsa.framesSincePrepare > 0 && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) {
        snd_pcm_start(pcm);
    }
    const auto rate = static_cast<std::int64_t>(Device.framesPerSecond);
    const auto limit =
        Clock::now() + PlayOutMargin +
        std::chrono::milliseconds(static_cast<std::int64_t>(Alsa.bufferFrames) * 1000 / rate);
    std::array<char, 4096> silence{};
    snd_pcm_sframes_t silenceQueued = 0;
    snd_pcm_sframes_t lastDelay = -1;
    auto lastChange = Clock::now();
    bool playedOut = Alsa.framesSincePrepare == 0;
    while (!playedOut && Clock::now() < limit) {
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING || snd_pcm_delay(pcm, &delay) < 0 ||
            delay <= silenceQueued) {
            playedOut = true;
            break;
        }
        if (delay != lastDelay) {
            lastDelay = delay;
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange >
                   std::chrono::milliseconds(3 * Alsa.periodFrames * 1000 /
                                             Device.framesPerSecond)) {
            // Stuck short of a period: push it out with silence.
            snd_pcm_uframes_t pad = Alsa.periodFrames;
            const snd_pcm_uframes_t chunk = silence.size() / Device.frameBytes;
            while (pad > 0) {
                const snd_pcm_sframes_t n =
                    snd_pcm_writei(pcm, silence.data(), std::min(pad, chunk));
                if (n <= 0) {
                    break;
                }
                silenceQueued += n;
                pad -= static_cast<snd_pcm_uframes_t>(n);
            }
            lastChange = Clock::now();
        }
        const auto untilPlayed = (delay - silenceQueued) * 1000 / rate;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp<std::int64_t>(
            untilPlayed, 5, static_cast<std::int64_t>(Alsa.periodFrames) * 1000 / rate)));
    }
    // Plugins that pass frames on (a file) hand over their last ones on a
    // drain; with nothing left to play it returns at once.
    if (playedOut && silenceQueued == 0 && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING) {
        snd_pcm_nonblock(pcm, 0);
        snd_pcm_drain(pcm);
    }
    closePcm();
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
    wakeDevice();
    Device.thread.join();
    closePcm();
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
    const std::lock_guard lock(DeviceLock);
    if (Device.open || Device.thread.joinable()) {
        return MMSYSERR_ALLOCATED;
    }
    static const bool StopAtExitRegistered = std::atexit(stopDeviceAtExit) == 0;
    static_cast<void>(StopAtExitRegistered);
    if (WakeDescriptor < 0) {
        WakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (WakeDescriptor < 0) {
            return MMSYSERR_NOMEM;
        }
    }
    snd_lib_error_set_handler(quietAlsa);

    Device.callback =
        flags == CALLBACK_FUNCTION ? reinterpret_cast<LPWAVECALLBACK>(callback) : nullptr;
    Device.instance = instance;
    Device.frameBytes = format->nBlockAlign;
    Device.format = alsaFormat;
    Device.channels = format->nChannels;
    Device.framesPerSecond = format->nSamplesPerSec;
    Device.queueFirst = 0;
    Device.queueCount = 0;
    Device.headOffset = 0;
    Device.pauseRequested = false;
    Device.resetRequested = false;
    Device.closeRequested = false;
    Device.gone = false;
    Device.underruns.store(0, std::memory_order_relaxed);
    Alsa = PcmState{};
    if (openPcm() == nullptr) {
        return MMSYSERR_NODRIVER;
    }
    clearWake();
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
        if (Device.gone) {
            return MMSYSERR_NODRIVER;
        }
        if (Device.queueCount == QueueCapacity) {
            return MMSYSERR_NOMEM;
        }
        header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        queueAppend(header);
    }
    wakeDevice();
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
    wakeDevice();
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
    wakeDevice();
    // Returns only when every given-back buffer has been reported.
    ResetDone.wait(lock, [target] { return Device.resetsDone >= target; });
    return Device.gone ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
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
        if (Device.queueCount > 0) {
            return WAVERR_STILLPLAYING;
        }
        Device.open = false;
        Device.closeRequested = true;
    }
    wakeDevice();
    // After the join no completion can come any more, and the PCM is ours.
    Device.thread.join();
    playOutAndClose();
    return MMSYSERR_NOERROR;
}

std::uint64_t waveOutUnderruns() {
    return Device.underruns.load(std::memory_order_relaxed);
}

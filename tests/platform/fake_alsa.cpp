// The real-time PCM of fake_alsa.h: the ALSA calls the wave-out layer makes.
#include "tests/platform/fake_alsa.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <thread>

std::mutex FakeAlsaLock;
FakeAlsaSettings FakeAlsa;
FakeAlsaRecord FakeAlsaPlayed;

struct _snd_pcm {
    int unused;
};

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t FramesPerSecond = 22050;
constexpr std::size_t FrameBytes = 4;

_snd_pcm ThePcm{};
snd_pcm_state_t State = SND_PCM_STATE_OPEN;
// Bytes written and not yet played, oldest first.
std::vector<char> Pending;
std::uint64_t Written = 0;
std::uint64_t Taken = 0;
std::uint64_t TakenAtRun = 0;
Clock::time_point RunningSince{};
// Frames taken over the whole life of the device, for failAfterFrames.
std::uint64_t TakenInAll = 0;
bool Failed = false;
int OpensLeftToFail = 0;

void randomDelay(std::uint32_t maxMicroseconds) {
    if (maxMicroseconds == 0) {
        return;
    }
    thread_local std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<std::uint32_t> pick(0, maxMicroseconds);
    std::this_thread::sleep_for(std::chrono::microseconds(pick(random)));
}

void slowCall() {
    std::uint32_t delay = 0;
    {
        const std::lock_guard lock(FakeAlsaLock);
        delay = FakeAlsa.callDelayMicroseconds;
    }
    randomDelay(delay);
}

// Under the lock: moves the clock on to now.
void catchUp() {
    if (State != SND_PCM_STATE_RUNNING || Failed) {
        return;
    }
    const auto elapsed = Clock::now() - RunningSince;
    const std::uint64_t due =
        TakenAtRun + static_cast<std::uint64_t>(
                         std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) *
                         FramesPerSecond / 1000000;
    const std::uint64_t playable =
        Written > FakeAlsa.holdBackFrames ? Written - FakeAlsa.holdBackFrames : 0;
    std::uint64_t target = std::min(due, playable);
    if (FakeAlsa.failAfterFrames != 0) {
        target = std::min(target, Taken + (FakeAlsa.failAfterFrames -
                                           std::min(FakeAlsa.failAfterFrames, TakenInAll)));
    }
    if (target > Taken) {
        const std::size_t bytes = static_cast<std::size_t>(target - Taken) * FrameBytes;
        FakeAlsaPlayed.played.insert(FakeAlsaPlayed.played.end(), Pending.begin(),
                                     Pending.begin() + static_cast<std::ptrdiff_t>(bytes));
        Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(bytes));
        TakenInAll += target - Taken;
        Taken = target;
    }
    if (FakeAlsa.failAfterFrames != 0 && TakenInAll >= FakeAlsa.failAfterFrames) {
        Failed = true;
        OpensLeftToFail = FakeAlsa.failedOpens;
        return;
    }
    if (due > Written && Taken == Written) {
        State = SND_PCM_STATE_XRUN;
    }
}

// Under the lock: the frames the device has room for now, or its error.
snd_pcm_sframes_t roomOrError() {
    catchUp();
    if (Failed) {
        return -ENODEV;
    }
    if (State == SND_PCM_STATE_XRUN) {
        return -EPIPE;
    }
    return static_cast<snd_pcm_sframes_t>(FakeAlsa.bufferFrames - (Written - Taken));
}

void prepare() {
    Pending.clear();
    Written = 0;
    Taken = 0;
    State = SND_PCM_STATE_PREPARED;
}

void start() {
    State = SND_PCM_STATE_RUNNING;
    RunningSince = Clock::now();
    TakenAtRun = Taken;
}

} // namespace

void fakeAlsaCatchUp() {
    const std::lock_guard lock(FakeAlsaLock);
    catchUp();
}

void resetFakeAlsa(const FakeAlsaSettings& settings) {
    const std::lock_guard lock(FakeAlsaLock);
    FakeAlsa = settings;
    FakeAlsaPlayed = FakeAlsaRecord{};
    State = SND_PCM_STATE_OPEN;
    Pending.clear();
    Written = Taken = TakenAtRun = TakenInAll = 0;
    Failed = false;
    OpensLeftToFail = 0;
}

extern "C" {

int snd_lib_error_set_handler(snd_lib_error_handler_t) {
    return 0;
}

int snd_pcm_open(snd_pcm_t** pcm, const char*, snd_pcm_stream_t, int) {
    slowCall();
    const std::lock_guard lock(FakeAlsaLock);
    if (Failed) {
        if (OpensLeftToFail < 0 || OpensLeftToFail-- > 0) {
            return -ECONNREFUSED;
        }
        // Back, and for good this time.
        Failed = false;
        FakeAlsa.failAfterFrames = 0;
    }
    ++FakeAlsaPlayed.opens;
    FakeAlsaPlayed.open = true;
    prepare();
    *pcm = &ThePcm;
    return 0;
}

int snd_pcm_close(snd_pcm_t*) {
    const std::lock_guard lock(FakeAlsaLock);
    FakeAlsaPlayed.open = false;
    State = SND_PCM_STATE_OPEN;
    return 0;
}

int snd_pcm_set_params(snd_pcm_t*, snd_pcm_format_t, snd_pcm_access_t, unsigned int, unsigned int,
                       int, unsigned int) {
    return 0;
}

int snd_pcm_get_params(snd_pcm_t*, snd_pcm_uframes_t* bufferSize, snd_pcm_uframes_t* periodSize) {
    const std::lock_guard lock(FakeAlsaLock);
    *bufferSize = FakeAlsa.bufferFrames;
    *periodSize = FakeAlsa.periodFrames;
    return 0;
}

size_t snd_pcm_hw_params_sizeof() {
    return 64;
}

int snd_pcm_hw_params_current(snd_pcm_t*, snd_pcm_hw_params_t*) {
    return 0;
}

int snd_pcm_hw_params_can_pause(const snd_pcm_hw_params_t*) {
    return 1;
}

int snd_pcm_nonblock(snd_pcm_t*, int) {
    return 0;
}

snd_pcm_state_t snd_pcm_state(snd_pcm_t*) {
    const std::lock_guard lock(FakeAlsaLock);
    catchUp();
    return Failed ? SND_PCM_STATE_DISCONNECTED : State;
}

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t*, const void* buffer, snd_pcm_uframes_t size) {
    slowCall();
    const std::lock_guard lock(FakeAlsaLock);
    const snd_pcm_sframes_t room = roomOrError();
    if (room < 0) {
        return room;
    }
    const std::uint64_t frames = std::min<std::uint64_t>(static_cast<std::uint64_t>(room), size);
    if (frames == 0) {
        return -EAGAIN;
    }
    const char* bytes = static_cast<const char*>(buffer);
    Pending.insert(Pending.end(), bytes, bytes + frames * FrameBytes);
    Written += frames;
    if (State == SND_PCM_STATE_PREPARED && Written >= FakeAlsa.bufferFrames) {
        start();
    }
    return static_cast<snd_pcm_sframes_t>(frames);
}

int snd_pcm_recover(snd_pcm_t*, int error, int) {
    const std::lock_guard lock(FakeAlsaLock);
    if (Failed || (error != -EPIPE && error != -ESTRPIPE)) {
        return error;
    }
    prepare();
    return 0;
}

int snd_pcm_delay(snd_pcm_t*, snd_pcm_sframes_t* delay) {
    slowCall();
    const std::lock_guard lock(FakeAlsaLock);
    catchUp();
    if (Failed) {
        return -ENODEV;
    }
    *delay = static_cast<snd_pcm_sframes_t>(Written - Taken);
    return 0;
}

snd_pcm_sframes_t snd_pcm_avail_update(snd_pcm_t*) {
    const std::lock_guard lock(FakeAlsaLock);
    return roomOrError();
}

int snd_pcm_start(snd_pcm_t*) {
    const std::lock_guard lock(FakeAlsaLock);
    if (Failed) {
        return -ENODEV;
    }
    if (State != SND_PCM_STATE_PREPARED) {
        return -EBADFD;
    }
    start();
    return 0;
}

int snd_pcm_pause(snd_pcm_t*, int enable) {
    std::uint32_t delay = 0;
    {
        const std::lock_guard lock(FakeAlsaLock);
        delay = FakeAlsa.pauseDelayMicroseconds;
    }
    randomDelay(delay);
    const std::lock_guard lock(FakeAlsaLock);
    catchUp();
    if (Failed) {
        return -ENODEV;
    }
    if (enable != 0 && State == SND_PCM_STATE_RUNNING) {
        State = SND_PCM_STATE_PAUSED;
    } else if (enable == 0 && State == SND_PCM_STATE_PAUSED) {
        start();
    }
    return 0;
}

int snd_pcm_drop(snd_pcm_t*) {
    slowCall();
    const std::lock_guard lock(FakeAlsaLock);
    catchUp();
    Pending.clear();
    Written = Taken;
    State = SND_PCM_STATE_SETUP;
    return 0;
}

int snd_pcm_prepare(snd_pcm_t*) {
    const std::lock_guard lock(FakeAlsaLock);
    if (Failed) {
        return -ENODEV;
    }
    prepare();
    return 0;
}

int snd_pcm_drain(snd_pcm_t*) {
    const auto limit = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        {
            const std::lock_guard lock(FakeAlsaLock);
            catchUp();
            if (Failed || State != SND_PCM_STATE_RUNNING || Taken == Written ||
                Clock::now() > limit) {
                State = SND_PCM_STATE_SETUP;
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int snd_pcm_poll_descriptors_count(snd_pcm_t*) {
    return 0;
}

int snd_pcm_poll_descriptors(snd_pcm_t*, struct pollfd*, unsigned int) {
    return 0;
}

int snd_pcm_poll_descriptors_revents(snd_pcm_t*, struct pollfd*, unsigned int,
                                     unsigned short* revents) {
    *revents = 0;
    return 0;
}

} // extern "C"

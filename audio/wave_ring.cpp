#include "audio/wave_ring.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console_keys.h"
#include "platform/events.h"
#include "platform/global_memory.h"

WaveRing Ring{};

namespace {

constexpr WAVEFORMATEX DeviceFormat{
    WAVE_FORMAT_PCM, // format tag
    2,               // channels
    22050,           // samples per second
    88200,           // average bytes per second
    4,               // block align: one left and one right 16-bit sample
    16,              // bits per sample
    0,               // extra size
};

// The size of the platform's header (32 bytes on 32-bit Windows, more where
// pointers are wider); the header block and every header call use it.
constexpr UINT HeaderBytes = sizeof(WAVEHDR);
constexpr UINT SharedMovable = GMEM_MOVEABLE | GMEM_SHARE;
constexpr DWORD RingWaitMilliseconds = 10000;
// While keys can be pressed, the wait for a free slot looks at them this
// often: a device slow to take its first buffers must not delay a stop.
constexpr DWORD KeyLookMilliseconds = 40;
// What waitForFreeSlot returns when a key ended the wait.
constexpr DWORD KeyPressed = 0xFFFFFFF0;
constexpr DWORD CloseRetryMilliseconds = 500;

void cannotInitAudio() {
    std::printf("Can't init audio system...\n");
    std::exit(1);
}

// The device failed and could not be opened again: nothing more can be
// heard, and ending as if the track had played would hide it.
[[noreturn]] void audioDeviceLost() {
    std::printf("Audio device lost...\n");
    std::exit(1);
}

void* allocateLocked(SIZE_T bytes) {
    return GlobalLock(GlobalAlloc(SharedMovable, bytes));
}

void releaseLocked(const void* pointer) {
    HGLOBAL memory = GlobalHandle(pointer);
    GlobalUnlock(memory);
    GlobalFree(memory);
}

DWORD waitForFreeSlot() {
    if (!keysAttached()) {
        return WaitForMultipleObjects(WaveSlotCount, Ring.events.data(), FALSE,
                                      RingWaitMilliseconds);
    }
    for (DWORD waited = 0; waited < RingWaitMilliseconds; waited += KeyLookMilliseconds) {
        if (keyWaiting()) {
            return KeyPressed;
        }
        const DWORD slice = std::min(KeyLookMilliseconds, RingWaitMilliseconds - waited);
        const DWORD result =
            WaitForMultipleObjects(WaveSlotCount, Ring.events.data(), FALSE, slice);
        if (result != WAIT_TIMEOUT) {
            return result;
        }
    }
    return WAIT_TIMEOUT;
}

} // namespace

void waveRingOpen() {
    for (int i = 0; i < WaveSlotCount; ++i) {
        WaveSlot& slot = Ring.slots[i];
        slot.done.store(1, std::memory_order_relaxed);
        slot.data = static_cast<LPSTR>(allocateLocked(WaveSlotBytes));
        slot.header = static_cast<WAVEHDR*>(allocateLocked(HeaderBytes));
        Ring.events[i] = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        // Nothing can play without its slots; a slot that is missing any
        // part would be written through a null pointer.
        if (slot.data == nullptr || slot.header == nullptr || Ring.events[i] == nullptr) {
            cannotInitAudio();
        }
        slot.header->lpData = slot.data;
        slot.header->dwBufferLength = 0;
        slot.header->dwFlags = 0;
        slot.header->dwLoops = 0;
    }
    if (waveOutOpen(&Ring.device, WAVE_MAPPER, &DeviceFormat,
                    reinterpret_cast<DWORD_PTR>(&onWaveDone), 0,
                    CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        cannotInitAudio();
    }
}

void waveRingSubmit(const void* bytes, DWORD count) {
    const DWORD result = waitForFreeSlot();
    if (result == KeyPressed) {
        // The caller's look at the keys stops playback; this buffer would
        // only be given back.
        return;
    }
    if (result == WAIT_TIMEOUT) {
        std::printf("Unexpected timeout...\n");
        return;
    }
    if (result == WAIT_FAILED || result - WAIT_OBJECT_0 >= WaveSlotCount) {
        std::printf("Unexpected failure...\n");
        return;
    }
    const DWORD index = result - WAIT_OBJECT_0;
    WaveSlot& slot = Ring.slots[index];
    HANDLE event = Ring.events[index];
    ResetEvent(event);
    slot.done.store(0, std::memory_order_relaxed);

    // The completion handler leaves the release of a finished buffer's
    // preparation to this thread, as a device callback may not call back
    // into the device; a slot used for the first time has none to release.
    waveOutUnprepareHeader(Ring.device, slot.header, HeaderBytes);

    // A slot holds at most WaveSlotBytes; anything past that is not copied.
    const DWORD length = std::min(count, WaveSlotBytes);
    slot.header->dwBufferLength = length;
    std::memcpy(slot.data, bytes, length);

    if (waveOutPrepareHeader(Ring.device, slot.header, HeaderBytes) != MMSYSERR_NOERROR) {
        std::printf("Oh no!\n");
        return;
    }
    const MMRESULT written = waveOutWrite(Ring.device, slot.header, HeaderBytes);
    if (written != MMSYSERR_NOERROR) {
        waveOutUnprepareHeader(Ring.device, slot.header, HeaderBytes);
        if (written == MMSYSERR_NODRIVER) {
            audioDeviceLost();
        }
        std::printf("waveOutWrite failed!\n");
        return;
    }
}

void CALLBACK onWaveDone(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != WOM_DONE) {
        return;
    }
    const auto* header = reinterpret_cast<const WAVEHDR*>(param1);
    for (int i = 0; i < WaveSlotCount; ++i) {
        if (Ring.slots[i].header == header) {
            // The flag first: whoever sees the event signalled sees the slot free.
            Ring.slots[i].done.store(1, std::memory_order_release);
            SetEvent(Ring.events[i]);
            return;
        }
    }
    std::printf("Ooops!! BUG! Imminent crash!\n");
}

void waveRingStop() {
    waveOutPause(Ring.device);
    waveOutReset(Ring.device);
}

void waveRingClose() {
    WaitForMultipleObjects(WaveSlotCount, Ring.events.data(), TRUE, RingWaitMilliseconds);

    // Which slots were still out when the wait ended, before the reset below
    // brings back whatever the device still holds.
    std::array<bool, WaveSlotCount> stillFull{};
    for (int i = 0; i < WaveSlotCount; ++i) {
        stillFull[i] = Ring.slots[i].done.load(std::memory_order_acquire) == 0;
    }
    // Reset before anything is released: a device that stopped reporting may
    // still hold a buffer, and after the reset neither it nor onWaveDone
    // touches any slot again.
    if (waveOutReset(Ring.device) == MMSYSERR_NODRIVER) {
        audioDeviceLost();
    }

    for (int i = 0; i < WaveSlotCount; ++i) {
        WaveSlot& slot = Ring.slots[i];
        if (stillFull[i]) {
            std::printf("Buffer %d still full!?\n", i);
        }
        waveOutUnprepareHeader(Ring.device, slot.header, HeaderBytes);
        releaseLocked(slot.data);
        releaseLocked(slot.header);
        CloseHandle(Ring.events[i]);
    }

    while (waveOutClose(Ring.device) != MMSYSERR_NOERROR) {
        std::printf("Zzzzz...\n");
        Sleep(CloseRetryMilliseconds);
    }
}

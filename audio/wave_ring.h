#pragma once
// The ring of 20 device buffers between the stream reader and the audio device.
#include <array>
#include <atomic>
#include <cstdint>

#include "platform/wave_out.h"

inline constexpr int WaveSlotCount = 20;
inline constexpr DWORD WaveSlotBytes = 44100;

struct WaveSlot {
    // Both blocks stay locked from open to close.
    WAVEHDR* header;
    LPSTR data;
    // 1 while the slot is free, 0 from its submission until the device has
    // finished its buffer. Set to 1 before the slot's event is signalled.
    std::atomic<std::uint32_t> done;
};

struct WaveRing {
    std::array<WaveSlot, WaveSlotCount> slots;
    // The slots' events in slot order, as the waits take them; signalled
    // while the slot is free.
    std::array<HANDLE, WaveSlotCount> events;
    HWAVEOUT device;
};

// Set up by waveRingOpen; the header and data pointers are written only
// there, before the device is opened.
extern WaveRing Ring;

// Allocates the slots and opens the default output. Returns only when the
// device is open; otherwise prints "Can't init audio system...\n" and ends
// the program with status 1.
void waveRingOpen();
// Waits up to 10 s for a free slot and queues a copy of count bytes (at most
// WaveSlotBytes). A failure is printed and the buffer dropped.
void waveRingSubmit(const void* bytes, DWORD count);
// Stops playing at once; every queued buffer comes back.
void waveRingStop();
// Waits up to 10 s for the queued buffers, releases the slots and closes the
// device, trying again every 500 ms while it refuses.
void waveRingClose();

// Completion handler the device calls for every finished buffer.
void CALLBACK onWaveDone(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                         DWORD_PTR param2);

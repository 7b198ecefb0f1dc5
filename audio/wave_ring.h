#pragma once
// The ring of 20 device buffers between the stream reader and the audio device.
#include <cstdint>

#include "platform/wave_out.h"

inline constexpr int WaveSlotCount = 20;
inline constexpr DWORD WaveSlotBytes = 44100;

void waveRingOpen();
void waveRingSubmit(const void* bytes, DWORD count);
void waveRingStop();
void waveRingClose();

// Completion handler the device calls for every finished buffer.
void CALLBACK onWaveDone(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                         DWORD_PTR param2);

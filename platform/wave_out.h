#pragma once
// Waveform audio output: a device that plays queued buffers one after another
// and reports each finished buffer to a completion function. On Windows this
// is the system's own; elsewhere a layer over the local sound system
// (platform/wave_out_alsa.cpp) gives the same results.
#include "platform/win_types.h"

#include <cstdint>

#ifdef _WIN32
#include <mmsystem.h>
#else

using MMRESULT = UINT;

struct WaveOutDevice;
using HWAVEOUT = WaveOutDevice*;
using LPHWAVEOUT = HWAVEOUT*;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;    // the device's own: it chains its queue through this
    DWORD_PTR reserved; // the device's own
};
using LPWAVEHDR = WAVEHDR*;

// The completion function passed to waveOutOpen as a DWORD_PTR.
using LPWAVECALLBACK = void(CALLBACK*)(HWAVEOUT device, UINT message, DWORD_PTR instance,
                                       DWORD_PTR param1, DWORD_PTR param2);

inline constexpr WORD WAVE_FORMAT_PCM = 1;
inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);

inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;

// Notifications sent to the completion function; WOM_DONE carries the
// finished buffer's header as its first parameter.
inline constexpr UINT WOM_OPEN = 0x3BB;
inline constexpr UINT WOM_CLOSE = 0x3BC;
inline constexpr UINT WOM_DONE = 0x3BD;

// Header flags.
inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

// Results.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Opens the output for the format; 0 when it is open. The completion
// function is called on the device's own thread.
MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT headerSize);
// Queues a prepared buffer behind the ones already written. A buffer is
// reported done once the device holds all of it. MMSYSERR_NODRIVER once the
// device has failed and could not be opened again.
MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT headerSize);
// Fails with WAVERR_STILLPLAYING while the buffer is queued.
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT headerSize);
MMRESULT waveOutPause(HWAVEOUT device);
// Gives back every queued buffer, each reported with WOM_DONE before the
// call returns, and stops at once when paused or when buffers were queued;
// otherwise what the device holds of buffers already done plays on.
// MMSYSERR_NODRIVER once the device has failed for good.
MMRESULT waveOutReset(HWAVEOUT device);
// Fails with WAVERR_STILLPLAYING while buffers are queued. Plays out what
// the device still holds before it returns.
MMRESULT waveOutClose(HWAVEOUT device);
// Underruns since the open: times the device ran dry while playing.
std::uint64_t waveOutUnderruns();
#endif

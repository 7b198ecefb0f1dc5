#pragma once
// A wave-out device for the ring's tests, linked in place of the ALSA layer.
// It records every call, fails the calls it is told to, and finishes queued
// buffers when the test says so, or by itself in virtual time when playing.
// Completions reach the ring on a thread of the device's own.
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "platform/wave_out.h"

struct WrittenBuffer {
    int slot;
    std::vector<std::uint8_t> bytes;
};

struct ScriptedDevice {
    // The script.
    MMRESULT openResult;
    int failPrepareCall; // 0-based number of the waveOutPrepareHeader call that fails; -1: none
    int failWriteCall;   // the same for waveOutWrite
    int closeRefusals;   // waveOutClose fails this many times before it closes
    bool playing;        // buffers finish one after another in virtual time

    // What happened.
    int opens;
    UINT openDeviceId;
    WAVEFORMATEX openFormat;
    DWORD_PTR openCallback;
    DWORD_PTR openInstance;
    DWORD openFlags;
    std::vector<std::string>
        calls; // "prepare 3", "write 3", "unprepare 3", "pause", "reset", "close"
    std::vector<WrittenBuffer> written;
    std::deque<WAVEHDR*> queue;
    std::deque<std::uint64_t> finishMicroseconds; // while playing, one per queued buffer
    std::set<WAVEHDR*> prepared;
    int prepareCalls;
    int writeCalls;
    int closeCalls;
    int preparesOfPrepared;
    int unpreparesWhileQueued;
    int preparedAtClose;
    bool closed;
};

extern ScriptedDevice Scripted;

void resetScriptedDevice();
// The ring's slot whose header this is, or -1.
int slotOf(const WAVEHDR* header);
// Finishes the queued buffers of these slots, in this order.
void finishSlots(std::initializer_list<int> slots);
void finishAll();
// Sends any notification to the ring's completion function.
void sendToRing(UINT message, DWORD_PTR param1);

// For the virtual clock: while playing, when the first queued buffer ends.
bool nextFinish(std::uint64_t& atMicroseconds);
// Finishes every queued buffer whose time has come.
void finishDue(std::uint64_t nowMicroseconds);

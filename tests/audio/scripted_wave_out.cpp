// The scripted wave-out device; see scripted_wave_out.h.
#include "tests/audio/scripted_wave_out.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "audio/wave_ring.h"
#include "tests/audio/virtual_clock.h"

struct WaveOutDevice {
    int unused;
};

ScriptedDevice Scripted{};

namespace {

WaveOutDevice TheDevice{};

// One buffer of the ring's format lasts 1/88200 s per byte.
constexpr std::uint64_t BytesPerSecond = 88200;

std::string callText(const char* name, const WAVEHDR* header) {
    return std::string(name) + " " + std::to_string(slotOf(header));
}

// Calls the ring's completion function on a thread of the device's own, as
// a real device does, and returns when it is done.
void deliver(const std::vector<std::pair<UINT, DWORD_PTR>>& messages) {
    const auto callback = reinterpret_cast<LPWAVECALLBACK>(Scripted.openCallback);
    std::thread device([&] {
        for (const auto& [message, param1] : messages) {
            callback(&TheDevice, message, Scripted.openInstance, param1, 0);
        }
    });
    device.join();
}

// Takes the header off the queue, marks it done and returns its message.
std::pair<UINT, DWORD_PTR> takeFinished(std::size_t position) {
    WAVEHDR* header = Scripted.queue[position];
    Scripted.queue.erase(Scripted.queue.begin() + static_cast<std::ptrdiff_t>(position));
    if (Scripted.playing) {
        Scripted.finishMicroseconds.erase(Scripted.finishMicroseconds.begin() +
                                          static_cast<std::ptrdiff_t>(position));
    }
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    return {WOM_DONE, reinterpret_cast<DWORD_PTR>(header)};
}

bool knownDevice(HWAVEOUT device) {
    return device == &TheDevice && !Scripted.closed;
}

} // namespace

void resetScriptedDevice() {
    Scripted = ScriptedDevice{};
    Scripted.failPrepareCall = -1;
    Scripted.failWriteCall = -1;
    Scripted.preparedAtClose = -1;
}

int slotOf(const WAVEHDR* header) {
    for (int i = 0; i < WaveSlotCount; ++i) {
        if (Ring.slots[i].header == header) {
            return i;
        }
    }
    return -1;
}

void finishSlots(std::initializer_list<int> slots) {
    std::vector<std::pair<UINT, DWORD_PTR>> messages;
    for (const int slot : slots) {
        const auto found = std::find(Scripted.queue.begin(), Scripted.queue.end(),
                                     Ring.slots[static_cast<std::size_t>(slot)].header);
        if (found != Scripted.queue.end()) {
            messages.push_back(
                takeFinished(static_cast<std::size_t>(found - Scripted.queue.begin())));
        }
    }
    deliver(messages);
}

void finishAll() {
    std::vector<std::pair<UINT, DWORD_PTR>> messages;
    while (!Scripted.queue.empty()) {
        messages.push_back(takeFinished(0));
    }
    deliver(messages);
}

void sendToRing(UINT message, DWORD_PTR param1) {
    deliver({{message, param1}});
}

bool nextFinish(std::uint64_t& atMicroseconds) {
    if (!Scripted.playing || Scripted.finishMicroseconds.empty()) {
        return false;
    }
    atMicroseconds = Scripted.finishMicroseconds.front();
    return true;
}

void finishDue(std::uint64_t nowMicroseconds) {
    std::vector<std::pair<UINT, DWORD_PTR>> messages;
    while (!Scripted.finishMicroseconds.empty() &&
           Scripted.finishMicroseconds.front() <= nowMicroseconds) {
        messages.push_back(takeFinished(0));
    }
    deliver(messages);
}

MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
    ++Scripted.opens;
    Scripted.openDeviceId = deviceId;
    Scripted.openFormat = *format;
    Scripted.openCallback = callback;
    Scripted.openInstance = instance;
    Scripted.openFlags = flags;
    Scripted.calls.push_back("open");
    if (Scripted.openResult != MMSYSERR_NOERROR) {
        return Scripted.openResult;
    }
    *device = &TheDevice;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT headerSize) {
    Scripted.calls.push_back(callText("prepare", header));
    const int call = Scripted.prepareCalls++;
    if (!knownDevice(device) || headerSize != sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    if (call == Scripted.failPrepareCall) {
        return MMSYSERR_NOMEM;
    }
    if (!Scripted.prepared.insert(header).second) {
        ++Scripted.preparesOfPrepared;
    }
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT headerSize) {
    Scripted.calls.push_back(callText("write", header));
    const int call = Scripted.writeCalls++;
    if (!knownDevice(device) || headerSize != sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    if (call == Scripted.failWriteCall) {
        return MMSYSERR_NOMEM;
    }
    if (Scripted.prepared.count(header) == 0) {
        return WAVERR_UNPREPARED;
    }
    if (std::find(Scripted.queue.begin(), Scripted.queue.end(), header) != Scripted.queue.end()) {
        return WAVERR_STILLPLAYING;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
    Scripted.written.push_back(WrittenBuffer{
        slotOf(header), std::vector<std::uint8_t>(bytes, bytes + header->dwBufferLength)});
    Scripted.queue.push_back(header);
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (Scripted.playing) {
        const std::uint64_t start =
            Scripted.finishMicroseconds.empty()
                ? Clock.nowMicroseconds
                : std::max(Clock.nowMicroseconds, Scripted.finishMicroseconds.back());
        Scripted.finishMicroseconds.push_back(start + std::uint64_t{header->dwBufferLength} *
                                                          1000000 / BytesPerSecond);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT headerSize) {
    Scripted.calls.push_back(callText("unprepare", header));
    if (!knownDevice(device) || headerSize != sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    if (std::find(Scripted.queue.begin(), Scripted.queue.end(), header) != Scripted.queue.end()) {
        ++Scripted.unpreparesWhileQueued;
        return WAVERR_STILLPLAYING;
    }
    Scripted.prepared.erase(header);
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
    Scripted.calls.push_back("pause");
    return knownDevice(device) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    Scripted.calls.push_back("reset");
    if (!knownDevice(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    finishAll();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    Scripted.calls.push_back("close");
    ++Scripted.closeCalls;
    if (!knownDevice(device)) {
        return MMSYSERR_INVALHANDLE;
    }
    if (Scripted.closeRefusals > 0) {
        --Scripted.closeRefusals;
        return WAVERR_STILLPLAYING;
    }
    if (!Scripted.queue.empty()) {
        return WAVERR_STILLPLAYING;
    }
    Scripted.preparedAtClose = static_cast<int>(Scripted.prepared.size());
    Scripted.closed = true;
    return MMSYSERR_NOERROR;
}

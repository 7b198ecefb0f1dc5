#include "fuzz/null_output.h"

#include "audio/wave_ring.h"
#include "platform/console_keys.h"

NullOutputCounts NullOutput{};

void waveRingOpen() {
    ++NullOutput.opens;
}

void waveRingSubmit(const void* bytes, DWORD count) {
    const auto* const data = static_cast<const std::uint8_t*>(bytes);
    for (DWORD i = 0; i < count; ++i) {
        NullOutput.checksum = NullOutput.checksum * 31u + data[i];
    }
    ++NullOutput.submissions;
}

void waveRingStop() {
    ++NullOutput.stops;
}

void waveRingClose() {}

void CALLBACK onWaveDone(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void holdConsoleSignals() {}

void releaseConsoleSignals() {}

bool keyWaiting() {
    return false;
}

int readKey() {
    return -1;
}

// Doubles of the wave output ring and the console keys for the stream
// reader's tests: they record what the reader does instead of playing.
#include "tests/stream/fake_output.h"

#include <cstring>

#include "audio/wave_ring.h"
#include "platform/console_keys.h"

FakeOutput Fake;

void waveRingOpen() {
    ++Fake.opens;
}

void waveRingSubmit(const void* bytes, DWORD count) {
    std::vector<std::int16_t> batch(count / sizeof(std::int16_t));
    std::memcpy(batch.data(), bytes, count);
    Fake.batches.push_back(std::move(batch));
}

void waveRingStop() {
    ++Fake.stops;
}

void waveRingClose() {
    ++Fake.closes;
}

void CALLBACK onWaveDone(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void holdConsoleSignals() {}

void releaseConsoleSignals() {}

bool keyWaiting() {
    ++Fake.keyTests;
    Fake.batchesAtKeyTest.push_back(Fake.batches.size());
    if (Fake.keyAnswers.empty()) {
        return false;
    }
    const bool answer = Fake.keyAnswers.front();
    Fake.keyAnswers.pop_front();
    return answer;
}

int readKey() {
    ++Fake.keysRead;
    return 'q';
}

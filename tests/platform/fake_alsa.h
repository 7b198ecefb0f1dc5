#pragma once
// A stand-in for ALSA's PCM calls, linked in place of libasound, that plays
// in real time: what is written is taken by a clock, not all at once. Tests
// set how it misbehaves: slow calls, a device that holds back its last
// frames, one that fails and comes back or not.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

struct FakeAlsaSettings {
    // ALSA's buffer and period in frames at 22050 frames per second.
    std::uint32_t bufferFrames = 2205;
    std::uint32_t periodFrames = 551;
    // Random delays inside the calls, up to these many microseconds.
    std::uint32_t callDelayMicroseconds = 0;
    std::uint32_t pauseDelayMicroseconds = 0;
    // Frames short of the end that the device never plays until more come,
    // as a sound server holding back its last fragment.
    std::uint32_t holdBackFrames = 0;
    // After this many frames have been taken, every call fails as for a
    // sound server that went away (0: never).
    std::uint64_t failAfterFrames = 0;
    // Opens that fail after the failure before one succeeds again (-1: none does).
    int failedOpens = 0;
};

struct FakeAlsaRecord {
    // Every frame the device played, in order (4 bytes each).
    std::vector<char> played;
    std::uint64_t opens = 0;
    bool open = false;
};

// Guards both; the layer's calls take it too.
extern std::mutex FakeAlsaLock;
extern FakeAlsaSettings FakeAlsa;
extern FakeAlsaRecord FakeAlsaPlayed;

// Settles the clock: everything written and due by now counts as played.
void fakeAlsaCatchUp();
void resetFakeAlsa(const FakeAlsaSettings& settings);

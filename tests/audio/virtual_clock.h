#pragma once
// A clock for the ring's tests: waits and pauses cost no real time. A wait
// that no event ends moves the clock on to the next buffer the scripted
// device finishes, or to its time-out.
#include <cstdint>
#include <vector>

#include "platform/events.h"

struct WaitRecord {
    DWORD count;
    bool waitAll;
    DWORD timeoutMilliseconds;
    DWORD result;
    std::uint64_t startMicroseconds;
    std::uint64_t endMicroseconds;
};

struct VirtualClock {
    std::uint64_t nowMicroseconds;
    std::vector<WaitRecord> waits;
    std::vector<DWORD> sleeps;
    // The next wait fails with WAIT_FAILED.
    bool failNextWait;
};

extern VirtualClock Clock;

void resetVirtualClock();

// Events whose waits run on the virtual clock; linked in place of the
// platform's events for the ring's tests.
#include <algorithm>
#include <array>
#include <mutex>

#include "tests/audio/scripted_wave_out.h"
#include "tests/audio/virtual_clock.h"

VirtualClock Clock{};

namespace {

struct EventObject {
    bool inUse;
    bool manualReset;
    bool signalled;
};

std::array<EventObject, MAXIMUM_WAIT_OBJECTS> EventPool{};
std::mutex EventLock;

EventObject* eventOf(HANDLE handle) {
    for (EventObject& event : EventPool) {
        if (&event == handle && event.inUse) {
            return &event;
        }
    }
    return nullptr;
}

constexpr DWORD StillWaiting = 0xFFFFFFFE;

DWORD checkEvents(DWORD count, const HANDLE* handles, BOOL waitAll) {
    const std::lock_guard lock(EventLock);
    bool all = true;
    for (DWORD i = 0; i < count; ++i) {
        EventObject* event = eventOf(handles[i]);
        if (event == nullptr) {
            return WAIT_FAILED;
        }
        if (event->signalled && !waitAll) {
            return WAIT_OBJECT_0 + i;
        }
        all = all && event->signalled;
    }
    return waitAll && all ? WAIT_OBJECT_0 : StillWaiting;
}

} // namespace

void resetVirtualClock() {
    Clock = VirtualClock{};
    const std::lock_guard lock(EventLock);
    EventPool = {};
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    const std::lock_guard lock(EventLock);
    for (EventObject& event : EventPool) {
        if (!event.inUse) {
            event = EventObject{true, manualReset != FALSE, initialState != FALSE};
            return &event;
        }
    }
    return nullptr;
}

BOOL SetEvent(HANDLE handle) {
    const std::lock_guard lock(EventLock);
    EventObject* event = eventOf(handle);
    if (event == nullptr) {
        return FALSE;
    }
    event->signalled = true;
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    const std::lock_guard lock(EventLock);
    EventObject* event = eventOf(handle);
    if (event == nullptr) {
        return FALSE;
    }
    event->signalled = false;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    const std::lock_guard lock(EventLock);
    EventObject* event = eventOf(handle);
    if (event == nullptr) {
        return FALSE;
    }
    *event = EventObject{};
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    WaitRecord record{count, waitAll != FALSE, milliseconds, WAIT_FAILED, Clock.nowMicroseconds, 0};
    // The ring never waits for ever; a test that makes it do so fails here.
    const bool usable = !Clock.failNextWait && milliseconds != INFINITE && count > 0 &&
                        count <= MAXIMUM_WAIT_OBJECTS;
    Clock.failNextWait = false;
    const std::uint64_t deadline =
        Clock.nowMicroseconds + static_cast<std::uint64_t>(milliseconds) * 1000;
    while (usable) {
        record.result = checkEvents(count, handles, waitAll);
        if (record.result != StillWaiting) {
            break;
        }
        std::uint64_t finish = 0;
        if (nextFinish(finish) && finish <= deadline) {
            Clock.nowMicroseconds = std::max(Clock.nowMicroseconds, finish);
            finishDue(Clock.nowMicroseconds);
            continue;
        }
        Clock.nowMicroseconds = deadline;
        record.result = WAIT_TIMEOUT;
        break;
    }
    record.endMicroseconds = Clock.nowMicroseconds;
    Clock.waits.push_back(record);
    return record.result;
}

void Sleep(DWORD milliseconds) {
    Clock.sleeps.push_back(milliseconds);
    const std::uint64_t end =
        Clock.nowMicroseconds + static_cast<std::uint64_t>(milliseconds) * 1000;
    std::uint64_t finish = 0;
    while (nextFinish(finish) && finish <= end) {
        Clock.nowMicroseconds = std::max(Clock.nowMicroseconds, finish);
        finishDue(Clock.nowMicroseconds);
    }
    Clock.nowMicroseconds = end;
}

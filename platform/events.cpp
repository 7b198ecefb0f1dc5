#include "platform/events.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

struct EventObject {
    bool inUse;
    bool manualReset;
    bool signalled;
};

// Every event lives in this fixed pool; a handle is the address of its entry.
constexpr std::size_t EventPoolSize = 64;
std::array<EventObject, EventPoolSize> EventPool{};

// One lock and one condition for all events keeps a wait on several events
// simple: any change wakes every waiter, which then looks at its own events.
std::mutex EventLock;
std::condition_variable EventChanged;

EventObject* eventOf(HANDLE handle) {
    const auto address = reinterpret_cast<std::uintptr_t>(handle);
    const auto first = reinterpret_cast<std::uintptr_t>(EventPool.data());
    if (address < first) {
        return nullptr;
    }
    const std::uintptr_t offset = address - first;
    if (offset % sizeof(EventObject) != 0 || offset / sizeof(EventObject) >= EventPoolSize) {
        return nullptr;
    }
    EventObject& event = EventPool[offset / sizeof(EventObject)];
    return event.inUse ? &event : nullptr;
}

// The outcome of looking at the events once, under the lock.
constexpr DWORD StillWaiting = 0xFFFFFFFE;

DWORD checkEvents(DWORD count, const HANDLE* handles, BOOL waitAll) {
    std::array<EventObject*, MAXIMUM_WAIT_OBJECTS> events{};
    for (DWORD i = 0; i < count; ++i) {
        events[i] = eventOf(handles[i]);
        if (events[i] == nullptr) {
            return WAIT_FAILED;
        }
    }
    if (!waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            if (events[i]->signalled) {
                if (!events[i]->manualReset) {
                    events[i]->signalled = false;
                }
                return WAIT_OBJECT_0 + i;
            }
        }
        return StillWaiting;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!events[i]->signalled) {
            return StillWaiting;
        }
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!events[i]->manualReset) {
            events[i]->signalled = false;
        }
    }
    return WAIT_OBJECT_0;
}

} // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    if (security != nullptr || name != nullptr) {
        return nullptr;
    }
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
    {
        const std::lock_guard lock(EventLock);
        EventObject* event = eventOf(handle);
        if (event == nullptr) {
            return FALSE;
        }
        event->signalled = true;
    }
    EventChanged.notify_all();
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
    {
        const std::lock_guard lock(EventLock);
        EventObject* event = eventOf(handle);
        if (event == nullptr) {
            return FALSE;
        }
        *event = EventObject{};
    }
    // A thread still waiting on it finds it gone and fails its wait.
    EventChanged.notify_all();
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        return WAIT_FAILED;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(EventLock);
    for (;;) {
        const DWORD result = checkEvents(count, handles, waitAll);
        if (result != StillWaiting) {
            return result;
        }
        if (milliseconds == INFINITE) {
            EventChanged.wait(lock);
        } else if (EventChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: an event signalled right at the deadline still counts.
            const DWORD last = checkEvents(count, handles, waitAll);
            return last == StillWaiting ? WAIT_TIMEOUT : last;
        }
    }
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

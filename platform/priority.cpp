#include "platform/priority.h"

#include <cerrno>
#include <sys/resource.h>

namespace {
// The nice value to come back to; read once, before the first change.
bool StartNiceKnown = false;
int StartNice = 0;
constexpr int HighPriorityBoost = 10;
} // namespace

HANDLE GetCurrentProcess() {
    // Windows' pseudo handle for "this process"; only compared, never used.
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL SetPriorityClass(HANDLE, DWORD priorityClass) {
    if (!StartNiceKnown) {
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, 0);
        if (current == -1 && errno != 0) {
            return FALSE;
        }
        StartNice = current;
        StartNiceKnown = true;
    }
    int target = StartNice;
    if (priorityClass == HIGH_PRIORITY_CLASS) {
        target = StartNice - HighPriorityBoost;
    } else if (priorityClass != NORMAL_PRIORITY_CLASS) {
        return FALSE;
    }
    // An unprivileged user may not raise the priority; playing goes on as is.
    return setpriority(PRIO_PROCESS, 0, target) == 0 ? TRUE : FALSE;
}

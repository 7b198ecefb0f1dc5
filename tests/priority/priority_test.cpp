#include "platform/priority.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int niceValue() {
    errno = 0;
    return getpriority(PRIO_PROCESS, 0);
}

// Raised while playing, then back to exactly what the process started with;
// where the system refuses the raise (an unprivileged user) nothing changes.
TEST(Priority, RaisedForPlayingAndRestoredAfter) {
    // Start from a lowered priority, so that the raise is allowed to an
    // unprivileged user only as far as the start value and the restore is real.
    ASSERT_EQ(setpriority(PRIO_PROCESS, 0, niceValue() + 5), 0);
    const int start = niceValue();

    const BOOL raised = SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    if (geteuid() == 0) {
        EXPECT_EQ(raised, TRUE);
        EXPECT_LT(niceValue(), start);
    } else {
        EXPECT_LE(niceValue(), start);
    }
    EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS), TRUE);
    EXPECT_EQ(niceValue(), start);
    // A second round comes back to the same start, not to the raised value.
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(niceValue(), start);
}

} // namespace

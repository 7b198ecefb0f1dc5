#include "tests/support/pty_session.h"

#include <chrono>
#include <poll.h>
#include <unistd.h>

void readScreen(PtySession& session, int waitMs) {
    pollfd ready{session.master, POLLIN, 0};
    while (poll(&ready, 1, waitMs) > 0) {
        char bytes[4096];
        const ssize_t got = read(session.master, bytes, sizeof bytes);
        if (got <= 0) {
            return;
        }
        session.screen.append(bytes, static_cast<std::size_t>(got));
        waitMs = 0;
    }
}

bool waitForScreen(PtySession& session, const std::string& text, double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (session.screen.find(text) == std::string::npos && Clock::now() < until) {
        readScreen(session, 20);
    }
    return session.screen.find(text) != std::string::npos;
}

#pragma once
// A program on a pseudo-terminal, as on a user's console, and what it has
// shown there.
#include <string>
#include <sys/types.h>

struct PtySession {
    pid_t pid = -1;
    int master = -1;
    int slave = -1; // held open so the terminal's settings and input queue can be inspected
    std::string screen;
};

// Adds what the program has written to screen, waiting up to waitMs for the
// first of it.
void readScreen(PtySession& session, int waitMs);
// Reads until screen holds text or seconds have passed; true when it does.
bool waitForScreen(PtySession& session, const std::string& text, double seconds);

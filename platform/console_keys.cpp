#include "platform/console_keys.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum class KeyboardState { Unknown, NotTerminal, KeyMode, Ended };
KeyboardState State = KeyboardState::Unknown;

// The terminal as it was before key mode; written once, before any handler
// that reads it is installed.
termios SavedTerminal{};
volatile std::sig_atomic_t TerminalChanged = 0;
volatile std::sig_atomic_t InterruptPending = 0;
volatile std::sig_atomic_t InterruptSeen = 0;

// Safe in a signal handler: tcsetattr is async-signal-safe.
void restoreTerminal() {
    if (TerminalChanged != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
        TerminalChanged = 0;
    }
}

void endBySignal(int signalNumber) {
    restoreTerminal();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// The first Ctrl-C is a key; a second one, when the first has not stopped
// the program, ends it the usual way.
void onInterrupt(int signalNumber) {
    if (InterruptSeen != 0) {
        endBySignal(signalNumber);
        return;
    }
    InterruptSeen = 1;
    InterruptPending = 1;
}

void onTermination(int signalNumber) {
    endBySignal(signalNumber);
}

// A signal the program was started with ignored (nohup, background jobs)
// stays ignored.
void catchSignal(int signalNumber, void (*handler)(int)) {
    struct sigaction previous {};
    sigaction(signalNumber, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

void enterKeyMode() {
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &SavedTerminal) != 0) {
        State = KeyboardState::NotTerminal;
        return;
    }
    std::atexit(restoreTerminal);
    catchSignal(SIGINT, onInterrupt);
    catchSignal(SIGTERM, onTermination);
    catchSignal(SIGHUP, onTermination);

    termios keyMode = SavedTerminal;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    // Marked first, so that a signal arriving during the change restores too.
    TerminalChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keyMode) != 0) {
        TerminalChanged = 0;
    }
    State = KeyboardState::KeyMode;
}

} // namespace

bool keyWaiting() {
    if (State == KeyboardState::Unknown) {
        enterKeyMode();
    }
    if (InterruptPending != 0) {
        return true;
    }
    if (State != KeyboardState::KeyMode) {
        return false;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0 && (input.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool keysAttached() {
    return State == KeyboardState::KeyMode;
}

int readKey() {
    if (InterruptPending != 0) {
        InterruptPending = 0;
        return CtrlCKey;
    }
    if (State != KeyboardState::KeyMode) {
        return -1;
    }
    unsigned char key = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got == 1) {
            return key;
        }
        if (got < 0 && errno == EINTR) {
            if (InterruptPending != 0) {
                InterruptPending = 0;
                return CtrlCKey;
            }
            continue;
        }
        // The terminal has gone: from now on no key is waiting, so a loop
        // that reads while keys are waiting cannot spin on it.
        State = KeyboardState::Ended;
        return -1;
    }
}

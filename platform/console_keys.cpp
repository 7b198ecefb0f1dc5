#include "platform/console_keys.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum class KeyboardState { Unknown, NotTerminal, Terminal, Ended };
KeyboardState State = KeyboardState::Unknown;

// The terminal as it was before key mode was last taken. Written only while
// TerminalChanged is 0, and only with the console's signals held or inside
// their handlers, so no handler ever reads it half written.
termios SavedTerminal{};
volatile std::sig_atomic_t TerminalChanged = 0;
// Key mode is to be taken whenever the process is in the foreground.
volatile std::sig_atomic_t KeysWanted = 0;
volatile std::sig_atomic_t InterruptPending = 0;
volatile std::sig_atomic_t InterruptSeen = 0;

// Handlers do their work on this thread only: the main thread holds the
// console's signals while it changes the terminal itself, so a handler
// can never cut into such a change.
pthread_t MainThread{};

constexpr int ConsoleSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGCONT};

sigset_t consoleSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : ConsoleSignals) {
        sigaddset(&set, signalNumber);
    }
    return set;
}

// Everything below down to the handlers is async-signal-safe.

// A terminal that is not the process's controlling one (no job control
// there) counts as the foreground.
bool inForeground() {
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group == getpgrp() || group < 0;
}

// A background process group that changes the terminal is stopped by
// SIGTTOU, so key mode waits until the process is in the foreground.
void takeKeyMode() {
    if (KeysWanted == 0 || TerminalChanged != 0 || !inForeground() ||
        tcgetattr(STDIN_FILENO, &SavedTerminal) != 0) {
        return;
    }
    termios keyMode = SavedTerminal;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    // Marked first, so that a signal arriving during the change restores too.
    TerminalChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keyMode) != 0) {
        TerminalChanged = 0;
    }
}

void restoreTerminal() {
    if (TerminalChanged == 0) {
        return;
    }
    // With SIGTTOU held the settings go back even from the background,
    // instead of the process being stopped on its way out.
    sigset_t hold;
    sigemptyset(&hold);
    sigaddset(&hold, SIGTTOU);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &hold, &previous);
    tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    TerminalChanged = 0;
}

// False after passing the signal on to the main thread, when it arrived on
// another one (the audio device's).
bool onMainThread(int signalNumber) {
    if (pthread_equal(pthread_self(), MainThread) != 0) {
        return true;
    }
    pthread_kill(MainThread, signalNumber);
    return false;
}

// Takes the signal's usual action now: ends or stops the process.
void actAsUsual(int signalNumber, struct sigaction& ours) {
    struct sigaction usual {};
    usual.sa_handler = SIG_DFL;
    sigemptyset(&usual.sa_mask);
    sigaction(signalNumber, &usual, &ours);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
}

void endBySignal(int signalNumber) {
    restoreTerminal();
    struct sigaction ours {};
    actAsUsual(signalNumber, ours);
}

// The first Ctrl-C is a key; a second one, when the first has not stopped
// the program, ends it the usual way.
void interrupt(int signalNumber) {
    if (InterruptSeen != 0) {
        endBySignal(signalNumber);
        return;
    }
    InterruptSeen = 1;
    InterruptPending = 1;
}

// Ctrl-Z: the shell gets its terminal back as it was, the process stops,
// and when it goes on the handler is put back.
void stop(int signalNumber) {
    restoreTerminal();
    struct sigaction ours {};
    actAsUsual(signalNumber, ours);
    sigaction(signalNumber, &ours, nullptr);
    // A process that did not stop (an orphaned process group) goes on at
    // once; otherwise this waits for the foreground, as SIGCONT does.
    takeKeyMode();
}

// Every handler does its work on the main thread, and leaves errno as the
// code it interrupted had it.
void onConsoleSignal(int signalNumber) {
    const int savedErrno = errno;
    if (onMainThread(signalNumber)) {
        switch (signalNumber) {
        case SIGINT:
            interrupt(signalNumber);
            break;
        case SIGTSTP:
            stop(signalNumber);
            break;
        case SIGCONT: // continued, in the foreground (fg) or not (bg)
            takeKeyMode();
            break;
        default:
            endBySignal(signalNumber);
            break;
        }
    }
    errno = savedErrno;
}

// A signal the program was started with ignored (nohup, background jobs)
// stays ignored.
void catchSignal(int signalNumber) {
    struct sigaction previous {};
    sigaction(signalNumber, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = onConsoleSignal;
    // No console handler cuts into another one.
    action.sa_mask = consoleSignalSet();
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

// Runs a change of the terminal on the main thread with the console's
// signals held, so that their handlers see it done or not begun.
void withSignalsHeld(void (*change)()) {
    const sigset_t hold = consoleSignalSet();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &hold, &previous);
    change();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void restoreAtExit() {
    withSignalsHeld([] {
        KeysWanted = 0;
        restoreTerminal();
    });
}

void setUpKeys() {
    termios current{};
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &current) != 0) {
        State = KeyboardState::NotTerminal;
        return;
    }
    State = KeyboardState::Terminal;
    MainThread = pthread_self();
    KeysWanted = 1;
    std::atexit(restoreAtExit);
    // SIGTERM, SIGHUP, SIGQUIT and SIGPIPE end the program after the
    // terminal is restored.
    for (const int signalNumber : ConsoleSignals) {
        catchSignal(signalNumber);
    }
}

} // namespace

void holdConsoleSignals() {
    const sigset_t hold = consoleSignalSet();
    pthread_sigmask(SIG_BLOCK, &hold, nullptr);
}

void releaseConsoleSignals() {
    const sigset_t hold = consoleSignalSet();
    pthread_sigmask(SIG_UNBLOCK, &hold, nullptr);
}

bool keyWaiting() {
    if (State == KeyboardState::Unknown) {
        setUpKeys();
    }
    if (InterruptPending != 0) {
        return true;
    }
    // A background job has no keys, and reading them would stop it; brought
    // to the foreground (fg), it takes key mode here if SIGCONT has not.
    if (State != KeyboardState::Terminal || !inForeground()) {
        return false;
    }
    if (TerminalChanged == 0) {
        withSignalsHeld(takeKeyMode);
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0 && (input.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool keysAttached() {
    return State == KeyboardState::Terminal;
}

int readKey() {
    if (InterruptPending != 0) {
        InterruptPending = 0;
        return CtrlCKey;
    }
    if (State != KeyboardState::Terminal) {
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
        KeysWanted = 0;
        return -1;
    }
}

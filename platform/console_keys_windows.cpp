// The console keys on Windows: the C runtime's _kbhit and _getch, with a
// console control handler that makes Ctrl-C a key.
#include "platform/console_keys.h"

#include <atomic>
#include <conio.h>
#include <windows.h>

namespace {

enum class KeyboardState { Unknown, NotConsole, Console };
KeyboardState State = KeyboardState::Unknown;

// Set by the control handler, which the system runs on a thread of its own.
std::atomic<bool> InterruptPending = false;
std::atomic<bool> InterruptSeen = false;

// The first Ctrl-C is a key; a second one, when the first has not stopped
// the program, goes on to the system's handler, which ends it. Every other
// event (Ctrl-Break, the console closing) takes its usual course.
BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT || InterruptSeen.exchange(true)) {
        return FALSE;
    }
    InterruptPending = true;
    return TRUE;
}

void setUpKeys() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetConsoleMode(input, &mode) == 0) {
        State = KeyboardState::NotConsole;
        return;
    }
    State = KeyboardState::Console;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    // Wine's console takes what is typed in a Unix terminal only once the
    // program has looked at its standard input; until then _kbhit, which
    // asks the runtime's own console handle, sees no key. On Windows this
    // look changes nothing.
    INPUT_RECORD record{};
    DWORD seen = 0;
    PeekConsoleInputA(input, &record, 1, &seen);
}

} // namespace

// Control events arrive on a thread of their own, never on the audio
// device's, so there is nothing to hold.
void holdConsoleSignals() {}
void releaseConsoleSignals() {}

bool keyWaiting() {
    if (State == KeyboardState::Unknown) {
        setUpKeys();
    }
    if (InterruptPending) {
        return true;
    }
    return State == KeyboardState::Console && _kbhit() != 0;
}

bool keysAttached() {
    return State == KeyboardState::Console;
}

int readKey() {
    if (InterruptPending.exchange(false)) {
        return CtrlCKey;
    }
    if (State != KeyboardState::Console) {
        return -1;
    }
    return _getch();
}

#pragma once
// The console keyboard: a non-blocking test for a waiting key and a read of
// one key without echo.
//
// keyWaiting() puts a terminal on standard input into non-canonical,
// no-echo mode while the process is in the foreground; its settings come
// back at exit, on SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (which then end the
// program as usual) and on Ctrl-Z (SIGTSTP), and key mode is taken again
// when the process goes on in the foreground. A background job reads no keys
// and leaves the terminal alone. Ctrl-C counts as a key (code 3), so that
// playback stops cleanly; a second Ctrl-C ends the program. When standard
// input is not a terminal no key is ever waiting and nothing is changed.
//
// On Windows the console's own key calls are used and the console is left
// as it is; a console control handler makes Ctrl-C the key, and standard
// input that is not a console never has a key waiting.

// Code readKey() gives for Ctrl-C.
inline constexpr int CtrlCKey = 3;

// Threads started between these two calls (the audio device's) leave the
// console's signals to the main thread.
void holdConsoleSignals();
void releaseConsoleSignals();

// True when a key is waiting to be read.
bool keyWaiting();
// True while keys can be pressed: keyWaiting() has put a terminal into key
// mode. A wait that should end on a key looks at the keys only then.
bool keysAttached();
// Reads one waiting key and returns its byte; -1 when there is none to read
// (standard input has ended or is no terminal).
int readKey();

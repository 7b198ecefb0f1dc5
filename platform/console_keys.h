#pragma once
// The console keyboard: a non-blocking test for a waiting key and a read of
// one key without echo.
//
// The first keyWaiting() puts a terminal on standard input into
// non-canonical, no-echo mode; its settings come back at exit and on
// SIGINT, SIGTERM and SIGHUP. Ctrl-C then counts as a key (code 3), so that
// playback stops cleanly; a second Ctrl-C ends the program. When standard
// input is not a terminal no key is ever waiting and nothing is changed.

// Code readKey() gives for Ctrl-C.
inline constexpr int CtrlCKey = 3;

// True when a key is waiting to be read.
bool keyWaiting();
// True while keys can be pressed: keyWaiting() has put a terminal into key
// mode. A wait that should end on a key looks at the keys only then.
bool keysAttached();
// Reads one waiting key and returns its byte; -1 when there is none to read
// (standard input has ended or is no terminal).
int readKey();

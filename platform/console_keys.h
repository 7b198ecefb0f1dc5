#pragma once
// The console keyboard: a non-blocking test for a waiting key and a read of
// one key without echo. When standard input is not a terminal no key is ever
// waiting.

// True when a key is waiting to be read (Ctrl-C during playback counts as one).
bool keyWaiting();
// Reads and discards nothing but one waiting key; returns its code.
int readKey();

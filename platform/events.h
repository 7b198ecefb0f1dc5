#pragma once
// Events that one thread signals and another waits for, and a plain pause.
#include "platform/win_types.h"

#ifndef _WIN32

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// A new event, or a null handle when none can be made. Only unnamed events
// with default security exist here.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL CloseHandle(HANDLE object);

// Waits until one (waitAll false) or all of the events are signalled.
// Returns WAIT_OBJECT_0 plus the lowest signalled index (waitAll false) or
// WAIT_OBJECT_0 (waitAll true), WAIT_TIMEOUT when the time ran out and
// WAIT_FAILED on a bad argument. An auto-reset event that ends a wait is
// reset by it.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

void Sleep(DWORD milliseconds);
#endif

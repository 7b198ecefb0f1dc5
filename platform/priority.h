#pragma once
// Process priority while playing, so that decoding keeps ahead of the device.
#include "platform/win_types.h"

#ifndef _WIN32
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;

HANDLE GetCurrentProcess();
// HIGH_PRIORITY_CLASS lowers the nice value below the one the process started
// with (silently kept when the system refuses); NORMAL_PRIORITY_CLASS restores it.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
#endif

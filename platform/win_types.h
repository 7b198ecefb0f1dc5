#pragma once
// The handful of system types that the player's platform calls use. On
// Windows they come from the system headers; elsewhere this layer defines
// them with the same widths so the calling code reads the same on both.

#ifdef _WIN32
#include <windows.h>
#else
#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using HGLOBAL = void*;
using SIZE_T = std::size_t;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Calling conventions only mean something on 32-bit Windows.
#define CALLBACK
#define WINAPI
#endif

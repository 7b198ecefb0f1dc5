#pragma once
// Blocks of global memory reached through a handle and locked to a pointer.
#include "platform/win_types.h"

#ifndef _WIN32

inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GMEM_SHARE = 0x2000;

// A block of the size asked for, or a null handle. The bytes are left as
// they come unless GMEM_ZEROINIT is given. Blocks here never move.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
// The block's first byte; null for a handle that is no block.
LPVOID GlobalLock(HGLOBAL memory);
// The handle of a block from the pointer GlobalLock gave.
HGLOBAL GlobalHandle(LPCVOID pointer);
// TRUE while the block is still locked after this call.
BOOL GlobalUnlock(HGLOBAL memory);
// Null when the block is released, otherwise the handle back.
HGLOBAL GlobalFree(HGLOBAL memory);
#endif

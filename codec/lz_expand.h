#pragma once
// The LZ stage shared by the three block decoders: expands the stored bytes in
// BlockInputBuffer into DecodeBuffer.
#include <cstdint>

#include "codec/decoders.h"

// The LZ stage never lets its output reach the last byte of DecodeBuffer, so
// that the packing steps can read T[L] and codec 11 can write DecodeBuffer[L]
// inside the buffers, where both are zero.
inline constexpr std::int32_t LzOutputLimit = WorkBufferSize - 1;

struct LzState {
    std::int32_t inPos;         // next byte of BlockInputBuffer to read
    std::int32_t inCount;       // stored bytes in BlockInputBuffer
    std::uint16_t ctrlWord;     // current control word, bit 0 is the next flag bit
    std::uint16_t ctrlBitsLeft; // flag bits not yet taken from ctrlWord
    std::int32_t outCount;      // bytes written to DecodeBuffer so far
    bool damaged;               // the stage had to stop before an end marker
};

// The one instance all three decoders share; lzExpand resets it.
extern LzState Lz;

// Expands storedSize bytes (clamped to 0 .. BlockInputSize) of BlockInputBuffer
// into DecodeBuffer and returns the output length. The caller zero-fills the
// work buffers first: back-references before the output read ScratchBuffer's
// last bytes as history. Sets Lz.damaged when the stream ends without an end
// marker inside the buffers: a write would reach LzOutputLimit, or a control
// word would be read past the end of BlockInputBuffer.
std::int32_t lzExpand(std::int32_t storedSize);

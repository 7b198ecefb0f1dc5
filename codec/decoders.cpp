#include "codec/decoders.h"

#include <cstring>

#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"

std::array<std::uint8_t, BlockInputSize> BlockInputBuffer;
std::array<std::uint8_t, 2 * WorkBufferSize> WorkRegion;

namespace {

bool LastDecodeDamaged = false;

// How far the last decode wrote into ScratchBuffer and DecodeBuffer. Every
// byte at or past these ends is zero, so clearing below them leaves the whole
// region zero. Static storage starts zero, like the region itself.
std::int32_t ScratchWritten = 0;
std::int32_t DecodeWritten = 0;

void clearWorkRegion() {
    std::memset(ScratchBuffer.data(), 0, static_cast<std::size_t>(ScratchWritten));
    std::memset(DecodeBuffer.data(), 0, static_cast<std::size_t>(DecodeWritten));
}

// The part all three decoders share. Returns L; for L below 2 there is
// nothing to reconstruct and DecodeBuffer keeps the LZ output (the packing
// steps do nothing for such a length either).
std::int32_t expandAndReconstruct(std::int32_t storedSize) {
    // Leaves the whole region zero, also the history that back-references
    // see before the output.
    clearWorkRegion();
    const std::int32_t length = lzExpand(storedSize);
    LastDecodeDamaged = Lz.damaged;
    // Every stage writes within L of the start: the LZ stage DecodeBuffer
    // [0 .. L), the prelude both buffers' [0 .. L), a packing step
    // DecodeBuffer[0 .. L] (codec 11 writes the byte past the block). L stays
    // below WorkBufferSize, so L + 1 is inside the buffer.
    ScratchWritten = length;
    DecodeWritten = length + 1;
    reconstructPrelude(length);
    return length;
}

} // namespace

std::int32_t decodeCodec10(std::int32_t storedSize) {
    const std::int32_t length = expandAndReconstruct(storedSize);
    packCodec10(length);
    return length;
}

std::int32_t decodeCodec11(std::int32_t storedSize) {
    const std::int32_t length = expandAndReconstruct(storedSize);
    packCodec11(length);
    return length;
}

std::int32_t decodeCodec12(std::int32_t storedSize) {
    const std::int32_t length = expandAndReconstruct(storedSize);
    packCodec12(length);
    return length;
}

void clearWholeWorkRegionAtNextDecode() {
    ScratchWritten = WorkBufferSize;
    DecodeWritten = WorkBufferSize;
}

bool lastDecodeDamaged() {
    return LastDecodeDamaged;
}

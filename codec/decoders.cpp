#include "codec/decoders.h"

#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"
#include "codec/work_extent.h"

std::array<std::uint8_t, BlockInputSize> BlockInputBuffer;
std::array<std::uint8_t, 2 * WorkBufferSize> WorkRegion;

namespace {

bool LastDecodeDamaged = false;

// The part all three decoders share. Returns L; for L below 2 there is
// nothing to reconstruct and DecodeBuffer keeps the LZ output (the packing
// steps do nothing for such a length either).
std::int32_t expandAndReconstruct(std::int32_t storedSize) {
    // Leaves the whole region zero, also the history that back-references
    // see before the output.
    clearWorkRegion();
    const std::int32_t length = lzExpand(storedSize);
    LastDecodeDamaged = Lz.damaged;
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

bool lastDecodeDamaged() {
    return LastDecodeDamaged;
}

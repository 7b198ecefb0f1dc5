// Fuzzes one block decoder (FUZZ_CODEC: 10, 11 or 12) over arbitrary stored
// bytes and stored sizes.
//
// Input: one mode byte, four bytes of a little-endian size, then the stored
// bytes. The mode picks the stored size the decoder is given:
//   0, 1: the number of stored bytes, the rest of the input buffer zero (what
//         the block fetch passes);
//   2:    fewer than the stored bytes, so bytes past the stored size are not
//         zero;
//   3:    the size field as it is (negative, past the buffer, anything), with
//         the stored bytes repeated through the whole input buffer.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/decoders.h"
#include "codec/lz_expand.h"
#include "codec/packing.h"
#include "codec/prelude.h"
#include "fuzz/bundle_walk.h"
#include "tests/support/reference_lz.h"

#ifndef FUZZ_CODEC
#error "FUZZ_CODEC names the codec to fuzz"
#endif

namespace {

constexpr std::size_t HeaderBytes = 5;

std::array<std::uint8_t, BlockInputSize> InputCopy;
std::array<std::uint8_t, 2 * WorkBufferSize> FirstResult;

void packStep(std::int32_t length) {
    if (FUZZ_CODEC == 10) {
        packCodec10(length);
    } else if (FUZZ_CODEC == 11) {
        packCodec11(length);
    } else {
        packCodec12(length);
    }
}

[[noreturn]] void fail(const std::vector<std::string>& faults) {
    for (const std::string& f : faults) {
        std::fprintf(stderr, "decoder %d: %s\n", FUZZ_CODEC, f.c_str());
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < HeaderBytes) {
        return -1;
    }
    const std::uint8_t mode = data[0] % 4;
    std::uint32_t sizeField = 0;
    std::memcpy(&sizeField, data + 1, sizeof sizeField);
    const std::size_t storedBytes = std::min<std::size_t>(size - HeaderBytes, BlockInputSize);
    const std::uint8_t* const stored = data + HeaderBytes;

    BlockInputBuffer.fill(0);
    std::copy_n(stored, storedBytes, BlockInputBuffer.begin());
    auto storedSize = static_cast<std::int32_t>(storedBytes);
    if (mode == 2) {
        storedSize = static_cast<std::int32_t>(sizeField % (storedBytes + 1));
    } else if (mode == 3) {
        storedSize = static_cast<std::int32_t>(sizeField);
        for (std::size_t at = storedBytes; storedBytes > 0 && at < BlockInputSize; ++at) {
            BlockInputBuffer[at] = stored[at % storedBytes];
        }
    }
    InputCopy = BlockInputBuffer;

    std::vector<std::string> faults;
    // Whatever the buffers held before, every decode starts from zero.
    WorkRegion.fill(0xC3);
    clearWholeWorkRegionAtNextDecode(); // the next decode must clear what was written here
    const std::int32_t length = runBlockDecoder(FUZZ_CODEC, storedSize);
    const bool damaged = lastDecodeDamaged();
    checkDecodeResult(FUZZ_CODEC, length, faults);
    if (BlockInputBuffer != InputCopy) {
        faults.push_back("the decoder changed its input");
    }
    if (!faults.empty()) {
        fail(faults);
    }
    FirstResult = WorkRegion;

    // The same decode step by step from clean buffers: the LZ stage against
    // the reference, limits included, then the rest must give the result
    // that the decode from dirty buffers gave.
    WorkRegion.fill(0);
    clearWholeWorkRegionAtNextDecode();
    const std::int32_t lzLength = lzExpand(storedSize);
    const ReferenceLz reference = referenceLzExpand(InputCopy, storedSize, LzOutputLimit);
    if (static_cast<std::size_t>(lzLength) != reference.output.size() ||
        !std::equal(reference.output.begin(), reference.output.end(), DecodeBuffer.begin())) {
        faults.push_back("LZ output differs from the reference: " + std::to_string(lzLength) +
                         " bytes against " + std::to_string(reference.output.size()));
    }
    if (Lz.damaged != reference.damaged || damaged != reference.damaged) {
        faults.push_back("damaged flag differs from the reference");
    }
    reconstructPrelude(lzLength);
    packStep(lzLength);
    if (lzLength != length || WorkRegion != FirstResult) {
        faults.push_back("the decode depends on what the buffers held before");
    }
    if (!faults.empty()) {
        fail(faults);
    }
    return 0;
}

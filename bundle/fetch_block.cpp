#include "bundle/fetch_block.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bundle/track.h"
#include "codec/decoders.h"
#include "platform/files.h"

namespace {

// Every byte of BlockInputBuffer from here on is zero.
std::int32_t BlockInputEnd = 0;

// Leaves every byte past the bytesRead just read zero, as if the whole
// buffer had been cleared before the read: clears what the previous read
// left beyond them and whatever the read may have touched up to wanted.
void clearBlockInputFrom(std::int32_t bytesRead, std::int32_t wanted) {
    const std::int32_t end = std::max(BlockInputEnd, wanted);
    if (end > bytesRead) {
        std::memset(BlockInputBuffer.data() + bytesRead, 0,
                    static_cast<std::size_t>(end - bytesRead));
    }
    BlockInputEnd = bytesRead;
}

} // namespace

void blockInputWritten() {
    BlockInputEnd = BlockInputSize;
}

bool fetchNoted(const BlockFetchNote& note) {
    return note.decodeDamaged || note.storedSizeCut || note.resultCut || note.readShort;
}

void showBlockProgress(std::int32_t index) {
    std::printf("\b\b\b\b\b\b\b\b\b\b\b\b\b%6d/%6d", index, Blocks.count);
}

std::int32_t fetchBlock(std::span<std::uint8_t, StreamBlockSize> destination) {
    // Shown before the end test and before the index advances: fetching block
    // i shows i/count, and the call that finds no block left shows count/count.
    showBlockProgress(Blocks.nextIndex);
    return fetchNextBlock(destination).status;
}

BlockFetch fetchNextBlock(std::span<std::uint8_t, StreamBlockSize> destination) {
    const std::int32_t index = Blocks.nextIndex;
    // The index advances also on the call that finds no block; it stops one
    // past the end so that further calls cannot overflow it.
    if (index <= Blocks.count) {
        ++Blocks.nextIndex;
    }
    if (index > Blocks.count - 1) {
        return {.status = NoBlockLeft, .note = {}};
    }

    seekFile(BundleFile, Blocks.absoluteOffset[index]);
    // A stored size beyond the input buffer (or one from a field at or above
    // 2^31, which reads negative) is cut to what the buffer holds.
    const std::uint32_t storedSize = static_cast<std::uint32_t>(Blocks.storedSize[index]);
    const std::size_t wanted = std::min<std::uint32_t>(storedSize, BlockInputSize);
    const auto bytesRead =
        static_cast<std::int32_t>(std::fread(BlockInputBuffer.data(), 1, wanted, BundleFile));
    clearBlockInputFrom(bytesRead, static_cast<std::int32_t>(wanted));

    const std::int32_t codec = Blocks.codec[index];
    std::int32_t length = bytesRead;
    if (codec == Codec10) {
        length = decodeCodec10(bytesRead);
    } else if (codec == Codec11) {
        length = decodeCodec11(bytesRead);
    } else if (codec == Codec12) {
        length = decodeCodec12(bytesRead);
    }
    const bool raw = codec == CodecRaw;
    const std::uint8_t* const result = raw ? BlockInputBuffer.data() : DecodeBuffer.data();
    const BlockFetch fetch{.status = 0,
                           .note = {.decodeDamaged = !raw && lastDecodeDamaged(),
                                    .storedSizeCut = wanted != storedSize,
                                    .resultCut = length > StreamBlockSize,
                                    .readShort = static_cast<std::size_t>(bytesRead) != wanted}};
    if (fetch.note.readShort) {
        return {.status = BundleEndsInBlock, .note = fetch.note};
    }
    // The stream reader uses 8192 bytes of a block; anything past them is cut.
    // A block the decoder found damaged still delivers what it decoded.
    length = std::clamp(length, 0, StreamBlockSize);
    std::memcpy(destination.data(), result, static_cast<std::size_t>(length));
    return fetch;
}

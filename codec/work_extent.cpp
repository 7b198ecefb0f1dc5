#include "codec/work_extent.h"

#include <algorithm>
#include <cstring>

#include "codec/decoders.h"

// Static storage starts zero, like the work region itself.
WorkExtent WorkWritten{};

void noteScratchWritten(std::int32_t end) {
    WorkWritten.scratchEnd = std::clamp(end, WorkWritten.scratchEnd, WorkBufferSize);
}

void noteDecodeWritten(std::int32_t end) {
    WorkWritten.decodeEnd = std::clamp(end, WorkWritten.decodeEnd, WorkBufferSize);
}

void clearWorkRegion() {
    std::memset(ScratchBuffer.data(), 0, static_cast<std::size_t>(WorkWritten.scratchEnd));
    std::memset(DecodeBuffer.data(), 0, static_cast<std::size_t>(WorkWritten.decodeEnd));
    WorkWritten = WorkExtent{};
}

void workRegionWritten() {
    WorkWritten = WorkExtent{.scratchEnd = WorkBufferSize, .decodeEnd = WorkBufferSize};
}

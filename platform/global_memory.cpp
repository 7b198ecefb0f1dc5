#include "platform/global_memory.h"

#include <cstdlib>
#include <cstring>

namespace {

// Each block starts with this record; the caller's bytes follow it.
struct GlobalBlock {
    std::uint32_t mark;
    std::uint32_t lockCount;
    SIZE_T size;
};

constexpr std::uint32_t LiveMark = 0x474D454Du;
// Keeps the caller's bytes aligned for any type.
constexpr SIZE_T BlockOffset = (sizeof(GlobalBlock) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

GlobalBlock* blockOf(HGLOBAL memory) {
    auto* block = static_cast<GlobalBlock*>(memory);
    return block != nullptr && block->mark == LiveMark ? block : nullptr;
}

} // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (bytes > static_cast<SIZE_T>(-1) - BlockOffset) {
        return nullptr;
    }
    void* raw = std::malloc(BlockOffset + bytes);
    if (raw == nullptr) {
        return nullptr;
    }
    auto* block = static_cast<GlobalBlock*>(raw);
    *block = GlobalBlock{LiveMark, 0, bytes};
    if ((flags & GMEM_ZEROINIT) != 0) {
        std::memset(static_cast<char*>(raw) + BlockOffset, 0, bytes);
    }
    return block;
}

LPVOID GlobalLock(HGLOBAL memory) {
    GlobalBlock* block = blockOf(memory);
    if (block == nullptr) {
        return nullptr;
    }
    ++block->lockCount;
    return reinterpret_cast<char*>(block) + BlockOffset;
}

HGLOBAL GlobalHandle(LPCVOID pointer) {
    if (pointer == nullptr) {
        return nullptr;
    }
    const char* bytes = static_cast<const char*>(pointer) - BlockOffset;
    return blockOf(const_cast<char*>(bytes));
}

BOOL GlobalUnlock(HGLOBAL memory) {
    GlobalBlock* block = blockOf(memory);
    if (block == nullptr || block->lockCount == 0) {
        return FALSE;
    }
    --block->lockCount;
    return block->lockCount > 0 ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    GlobalBlock* block = blockOf(memory);
    if (block == nullptr) {
        return memory;
    }
    block->mark = 0;
    std::free(block);
    return nullptr;
}

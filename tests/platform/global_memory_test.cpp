// The platform's global memory blocks.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "platform/global_memory.h"

namespace {

TEST(GlobalMemoryTest, BlockIsFoundFromItsPointerAndReleased) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE, 44100);
    ASSERT_NE(memory, nullptr);
    auto* bytes = static_cast<unsigned char*>(GlobalLock(memory));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % alignof(std::max_align_t), 0u);
    bytes[0] = 1;
    bytes[44099] = 2;
    EXPECT_EQ(GlobalHandle(bytes), memory);
    // Locked twice, unlocked twice: only the second unlock ends the lock.
    EXPECT_EQ(GlobalLock(memory), bytes);
    EXPECT_EQ(GlobalUnlock(memory), TRUE);
    EXPECT_EQ(GlobalUnlock(memory), FALSE);
    EXPECT_EQ(GlobalUnlock(memory), FALSE);
    EXPECT_EQ(GlobalFree(memory), nullptr);
}

TEST(GlobalMemoryTest, ZeroInitClearsTheBlock) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
    const auto* bytes = static_cast<const unsigned char*>(GlobalLock(memory));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    GlobalUnlock(memory);
    GlobalFree(memory);
}

TEST(GlobalMemoryTest, NullHandlesAreRefused) {
    EXPECT_EQ(GlobalLock(nullptr), nullptr);
    EXPECT_EQ(GlobalHandle(nullptr), nullptr);
    EXPECT_EQ(GlobalUnlock(nullptr), FALSE);
}

} // namespace

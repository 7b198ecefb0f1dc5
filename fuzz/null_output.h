#pragma once
// A sink linked in place of the wave output ring and the console keys: it
// plays nothing, never sees a key and only counts what it was handed.
#include <cstdint>

struct NullOutputCounts {
    std::int64_t opens;
    std::int64_t submissions;
    std::int64_t stops;
    std::uint32_t checksum; // of every submitted byte, so each one is read
};

extern NullOutputCounts NullOutput;

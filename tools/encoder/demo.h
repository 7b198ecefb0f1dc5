#pragma once
// The demo bundle: every catalogue row holds a synthesised piece.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/encoder/bundle_write.h"

// Visible track 1 is the long one, for listening and for benchmarks.
inline constexpr std::int32_t DemoLongTrackNumber = 1;
inline constexpr double DemoLongSeconds = 250.0;
inline constexpr double DemoShortSeconds = 25.0;

struct DemoTrackReport {
    std::int32_t row;
    double seconds;
    std::int64_t storedBytes; // the whole track: header, table and blocks
    std::int64_t rawStreamBytes;
};

// Writes a fresh demo bundle to path. Rows whose slot cannot hold the usual
// length get a shorter piece.
bool writeDemoBundle(const std::string& path, std::vector<DemoTrackReport>& report,
                     std::string& error, BundleWait wait = BundleWait::Wait);

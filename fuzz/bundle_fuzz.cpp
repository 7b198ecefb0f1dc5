// Fuzzes a whole bundle image: the track at 0x20 (catalogue row 0) is
// loaded, every block fetched and decoded, and the stream read batch by batch
// as playback reads it, with a sink in place of the audio output.
#include <cstdio>
#include <cstdlib>

#include "fuzz/bundle_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const WalkReport report = walkBundle({data, size}, 0x20);
    if (!report.faults.empty()) {
        for (const std::string& f : report.faults) {
            std::fprintf(stderr, "bundle walk (%s): %s\n", outcomeName(report.outcome), f.c_str());
        }
        std::abort();
    }
    return 0;
}

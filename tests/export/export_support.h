#pragma once
// Bundles, audio files and runs of zelvor-export shared by the export tests.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/stream_model.h"
#include "tests/support/test_bundle.h"

// A track's own bytes (header, table, blocks), to be placed at any row.
Bytes trackBytes(const std::vector<TestBlock>& blocks);
// The encoder's track of a synthesised piece; the same seed, the same bytes.
Bytes encodedPiece(std::uint32_t seed, double seconds);

// A fresh sparse bundle with the given tracks at their catalogue rows.
void writeRows(const std::string& path, const std::vector<std::pair<std::int32_t, Bytes>>& rows);

struct AudioFile {
    bool opened = false;
    int rate = 0;
    int channels = 0;
    int format = 0;
    Samples samples;
};
AudioFile readAudio(const std::string& path);

ProgramRun runExporter(const std::vector<std::string>& arguments);
// The names in a folder, sorted.
std::vector<std::string> folderNames(const std::string& folder);

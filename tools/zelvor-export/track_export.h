#pragma once
// Writing a track's samples to an audio file through libsndfile, tagged.
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/zelvor-export/formats.h"

// The title made safe as part of a file name on common file systems:
// control characters and / \ : * ? " < > | become '_', and leading or
// trailing spaces and dots are taken off ("_" if nothing is left).
std::string safeTitle(std::string_view title);
// "05 Bazaar (Morning).flac": the two-digit track number, a space, the safe
// title and the format's extension.
std::string exportFileName(std::int32_t number, std::string_view title, AudioFormat format);

struct ExportResult {
    bool written = false;
    std::string path;             // the finished file
    std::int64_t frames = 0;      // the player's frames written, at 22050 Hz
    std::int32_t notedBlocks = 0; // blocks that came out damaged or cut
    std::string error;            // when not written
};

// Streams visible track number from the open bundle (see track_survey.h)
// into directory, at quality on the format's own scale (see formats.h). The
// samples are those the player plays, followed by the final partial batch
// that it drops; lossy formats get them as floats, Opus resampled to its own
// rate with the frame count scaled exactly. The file carries the tags of
// tags.h. The file is written under a temporary
// name in the same directory and renamed when complete; an interrupted or
// failed export leaves neither behind. With progress set a bar is drawn on
// standard error.
ExportResult exportTrack(std::int32_t number, const std::string& directory, AudioFormat format,
                         double quality, bool progress);

// A fresh hidden file next to directory/name for writing it whole, removed
// if the program is interrupted until forgetTemporaryFile; -1 with errno set
// when it cannot be made.
int createTemporaryFile(const std::string& directory, const std::string& name, std::string& path);
void forgetTemporaryFile();

// Removes the file being written when the program is interrupted or
// terminated; a signal ignored from the start (nohup) stays ignored.
void installInterruptCleanup();

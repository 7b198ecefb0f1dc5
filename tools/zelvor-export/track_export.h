#pragma once
// Writing a track's samples to a WAV or FLAC file through libsndfile.
#include <cstdint>
#include <string>
#include <string_view>

enum class AudioFormat { Wav, Flac };

inline constexpr std::int32_t ExportRate = 22050;
inline constexpr std::int32_t ExportChannels = 2;

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
    std::int64_t frames = 0;      // frames written
    std::int32_t notedBlocks = 0; // blocks that came out damaged or cut
    std::string error;            // when not written
};

// Streams visible track number from the open bundle (see track_survey.h)
// into directory. The samples are those the player plays, followed by the
// final partial batch that it drops. The file is written under a temporary
// name in the same directory and renamed when complete; an interrupted or
// failed export leaves neither behind. With progress set a bar is drawn on
// standard error.
ExportResult exportTrack(std::int32_t number, const std::string& directory, AudioFormat format,
                         bool progress);

// Removes the file being written when the program is interrupted or
// terminated; a signal ignored from the start (nohup) stays ignored.
void installInterruptCleanup();

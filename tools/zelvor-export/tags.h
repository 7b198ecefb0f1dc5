#pragma once
// The tags a music library sorts by: title, album, track number and total,
// genre.
#include <cstdint>
#include <sndfile.h>
#include <string>

#include "tools/zelvor-export/formats.h"

inline constexpr const char* AlbumTitle = "Zelvor Soundtrack";
inline constexpr const char* AlbumGenre = "Soundtrack";

// The number a library shows: the player's track number plus one, since
// libraries take 0 for "no number". MP3's ID3 frame carries the total as
// "6/62"; the other formats hold the number alone.
std::string trackNumberTag(AudioFormat format, std::int32_t number, std::int32_t total);

// Title, album, track number and genre through libsndfile, which writes them
// as Vorbis comments, ID3 frames or RIFF INFO entries. Must come before the
// first sample.
bool setFileTags(SNDFILE* file, AudioFormat format, std::int32_t number, std::int32_t total,
                 const char* title, std::string& error);

// Vorbis comments also carry the total as TRACKTOTAL and TOTALTRACKS, which
// libsndfile cannot write: TagLib adds them to the finished file behind fd
// (FLAC, Ogg Vorbis, Opus; nothing to do for the others). The file is edited
// in memory and written back whole with every write checked.
bool addTrackTotal(int fd, AudioFormat format, std::int32_t total, std::string& error);

#pragma once
// The playlist written beside the files of a multi-track export.
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* PlaylistName = "Zelvor Soundtrack.m3u8";

struct PlaylistEntry {
    std::int32_t number = 0; // the player's track number, for the order
    std::string fileName;    // relative to the playlist's folder
    std::string title;
    std::int64_t frames = 0; // at 22050 Hz
};

// "#EXTM3U", then per track in number order "#EXTINF:<seconds>,<title>" and
// the file's name.
std::string playlistText(std::vector<PlaylistEntry> entries);

// Writes the playlist into directory under a temporary name and renames it
// into place; false with a message when that fails, leaving nothing behind.
bool writePlaylist(const std::string& directory, const std::vector<PlaylistEntry>& entries,
                   std::string& error);

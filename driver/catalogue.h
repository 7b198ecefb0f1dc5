#pragma once
// The built-in list of tracks: where each begins in the bundle, and its title.
#include <array>
#include <cstdint>

struct TrackEntry {
    std::uint32_t streamOffset; // absolute offset of the track's header in the bundle
    const char* title;          // at most 21 characters
    std::uint32_t hidden;       // 1: neither listed nor numbered
};

inline constexpr std::int32_t CatalogueRows = 84;
extern const std::array<TrackEntry, CatalogueRows> TrackCatalogue;

// Number of rows that are not hidden (the playable tracks, numbered from 0).
std::int32_t visibleCount();
// Prints the visible rows three to a line, without a final line feed.
void printTrackList();
// The row of visible track number (0 <= number < visibleCount()).
const TrackEntry& rowForNumber(std::int32_t number);

#include "tools/zelvor-export/playlist.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "tools/zelvor-export/formats.h"
#include "tools/zelvor-export/track_export.h"

std::string playlistText(std::vector<PlaylistEntry> entries) {
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const PlaylistEntry& a, const PlaylistEntry& b) { return a.number < b.number; });
    std::string text = "#EXTM3U\n";
    for (const PlaylistEntry& entry : entries) {
        // Whole seconds, rounded: what players show and most expect.
        const std::int64_t seconds = (entry.frames + ExportRate / 2) / ExportRate;
        text += "#EXTINF:" + std::to_string(seconds) + "," + entry.title + "\n";
        text += entry.fileName + "\n";
    }
    return text;
}

bool writePlaylist(const std::string& directory, const std::vector<PlaylistEntry>& entries,
                   std::string& error) {
    const std::string text = playlistText(entries);
    const std::string path = directory + "/" + PlaylistName;
    std::string temporary;
    const int fd = createTemporaryFile(directory, PlaylistName, temporary);
    if (fd < 0) {
        error = "cannot create a file in " + directory + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    bool complete = true;
    while (complete && done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = "cannot write " + path + ": " + std::strerror(put < 0 ? errno : ENOSPC);
            complete = false;
        } else {
            done += static_cast<std::size_t>(put);
        }
    }
    if (complete && fsync(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        complete = false;
    }
    if (close(fd) != 0 && complete) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        complete = false;
    }
    if (complete && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        complete = false;
    }
    if (!complete) {
        unlink(temporary.c_str());
    }
    forgetTemporaryFile();
    return complete;
}

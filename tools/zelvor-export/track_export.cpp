#include "tools/zelvor-export/track_export.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include "driver/catalogue.h"
#include "stream/stream_reader.h"
#include "tools/common/tool_io.h"
#include "tools/zelvor-export/track_survey.h"

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

constexpr int BarWidth = 30;

void drawProgress(const std::string& name, std::int64_t done, std::int64_t total) {
    const int filled = total > 0 ? static_cast<int>(done * BarWidth / total) : BarWidth;
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", name.c_str(), filled,
                 "##############################", BarWidth - filled, "", percent);
}

void eraseProgress(const std::string& name) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(name.size()) + BarWidth + 8, "");
}

// Streams the open track into the file; false with a message when a write fails.
bool writeSamples(SNDFILE* file, std::int64_t total, const std::string& name, bool progress,
                  std::int64_t& frames, std::string& error) {
    std::int64_t written = 0;
    int shownPercent = -1;
    while (true) {
        const std::int32_t count = fillBatch();
        if (count > 0 && sf_write_short(file, SampleBuffer.data(), count) != count) {
            error = std::string("cannot write: ") + sf_strerror(file);
            return false;
        }
        written += count;
        if (progress && total > 0 && static_cast<int>(written * 100 / total) != shownPercent) {
            shownPercent = static_cast<int>(written * 100 / total);
            drawProgress(name, written, total);
        }
        // Fewer than a full batch: the data has ended, and the partial batch
        // the player would drop is in the file.
        if (count < SampleBatchSize) {
            break;
        }
    }
    // The FLAC encoder starts at the first samples; a track without any
    // still needs its stream header to be a readable file.
    if (written == 0) {
        sf_command(file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    }
    frames = written / ExportChannels;
    return true;
}

} // namespace

std::string safeTitle(std::string_view title) {
    std::string safe;
    for (const char c : title) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unsafe = byte < 0x20 || byte == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr;
        safe += unsafe ? '_' : c;
    }
    const std::size_t first = safe.find_first_not_of(" .");
    if (first == std::string::npos) {
        return "_";
    }
    const std::size_t last = safe.find_last_not_of(" .");
    return safe.substr(first, last - first + 1);
}

std::string exportFileName(std::int32_t number, std::string_view title, AudioFormat format) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d ", number);
    return prefix + safeTitle(title) + (format == AudioFormat::Wav ? ".wav" : ".flac");
}

ExportResult exportTrack(std::int32_t number, const std::string& directory, AudioFormat format,
                         bool progress) {
    ExportResult result;
    const std::int32_t row = rowOfNumber(number);
    const char* const title = TrackCatalogue[static_cast<std::size_t>(row)].title;
    const std::string name = exportFileName(number, title, format);
    result.path = directory + "/" + name;

    const RowOpening opening = openRow(row);
    if (opening.state != RowState::Ready) {
        result.error = openingProblem(opening);
        return result;
    }

    std::string temporary;
    const int fd = createTemporary(directory, name, 0666, temporary);
    if (fd < 0) {
        result.error = systemError("cannot create a file in " + directory);
        return result;
    }
    SF_INFO info{};
    info.samplerate = ExportRate;
    info.channels = ExportChannels;
    info.format = format == AudioFormat::Wav ? (SF_FORMAT_WAV | SF_FORMAT_PCM_16)
                                             : (SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    SNDFILE* const file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    bool complete = false;
    if (file == nullptr) {
        result.error = std::string("cannot write ") + temporary + ": " + sf_strerror(nullptr);
    } else {
        complete = writeSamples(file, opening.samples, name, progress, result.frames, result.error);
        // Closing writes the header and, for FLAC, the last frames.
        if (sf_close(file) != 0 && complete) {
            result.error = "cannot finish " + temporary;
            complete = false;
        }
        if (progress) {
            eraseProgress(name);
        }
    }
    if (complete && fsync(fd) != 0) {
        result.error = systemError("cannot write " + temporary);
        complete = false;
    }
    if (close(fd) != 0 && complete) {
        result.error = systemError("cannot write " + temporary);
        complete = false;
    }
    if (complete && std::rename(temporary.c_str(), result.path.c_str()) != 0) {
        result.error = systemError("cannot rename " + temporary + " to " + result.path);
        complete = false;
    }
    if (!complete) {
        unlink(temporary.c_str());
    }
    clearPendingTemporary();
    result.written = complete;
    result.notedBlocks = NotedFetchCount;
    return result;
}

void installInterruptCleanup() {
    catchTerminationSignals();
}

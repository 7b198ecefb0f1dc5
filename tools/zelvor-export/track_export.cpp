#include "tools/zelvor-export/track_export.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/catalogue.h"
#include "stream/stream_reader.h"
#include "tools/common/tool_io.h"
#include "tools/zelvor-export/tags.h"
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

// libsndfile writes through these, so that every failed write is seen: its
// encoders drop the result of some of their own writes.
int SinkFd = -1;
int SinkError = 0;

sf_count_t sinkLength(void*) {
    struct stat status {};
    return fstat(SinkFd, &status) == 0 ? status.st_size : -1;
}

sf_count_t sinkSeek(sf_count_t offset, int whence, void*) {
    return lseek(SinkFd, offset, whence);
}

sf_count_t sinkRead(void* bytes, sf_count_t count, void*) {
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t got =
            read(SinkFd, static_cast<char*>(bytes) + done, static_cast<size_t>(count - done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += got;
    }
    return done;
}

sf_count_t sinkWrite(const void* bytes, sf_count_t count, void*) {
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t put = write(SinkFd, static_cast<const char*>(bytes) + done,
                                  static_cast<size_t>(count - done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            if (SinkError == 0) {
                SinkError = put < 0 ? errno : ENOSPC;
            }
            break;
        }
        done += put;
    }
    return done;
}

sf_count_t sinkTell(void*) {
    return lseek(SinkFd, 0, SEEK_CUR);
}

SF_VIRTUAL_IO SinkIo{sinkLength, sinkSeek, sinkRead, sinkWrite, sinkTell};

bool sinkFailed(std::string& error) {
    if (SinkError != 0) {
        error = std::string("cannot write: ") + std::strerror(SinkError);
        return true;
    }
    return false;
}

// A write libsndfile reports as failed: the system's reason when there is
// one, else libsndfile's.
void writeFailed(SNDFILE* file, std::string& error) {
    if (!sinkFailed(error)) {
        error = std::string("cannot write: ") + sf_strerror(file);
    }
}

// Lossy encoders take floats; libsndfile's MP3 writer also garbles 16-bit
// stereo input.
std::array<float, SampleBatchSize> FloatBatch;

// Opus: the samples resampled to its rate, and how many frames of it the
// track comes to. soxr's high quality keeps the tracks flat to 10 kHz and
// runs several times as fast as libsamplerate's fastest converter, which
// already cuts 10 dB at 9.5 kHz.
constexpr std::size_t ResampledFrames = SampleBatchSize / ExportChannels * 2;
std::array<float, ResampledFrames * ExportChannels> ResampledBatch;
soxr_t Resampler = nullptr;
std::int64_t ResampledWritten = 0;

bool writeResampled(SNDFILE* file, std::size_t frames, std::int64_t target, std::string& error) {
    const sf_count_t room = std::max<std::int64_t>(0, target - ResampledWritten);
    const sf_count_t count = std::min<sf_count_t>(static_cast<sf_count_t>(frames), room);
    if (count > 0 && sf_writef_float(file, ResampledBatch.data(), count) != count) {
        writeFailed(file, error);
        return false;
    }
    ResampledWritten += count;
    return !sinkFailed(error);
}

// Writes what the resampler makes of frames of input, and with last set all
// it still holds, so that the file then has exactly target frames.
bool resampleAndWrite(SNDFILE* file, const float* input, std::size_t frames, bool last,
                      std::int64_t target, std::string& error) {
    while (frames > 0) {
        std::size_t used = 0;
        std::size_t made = 0;
        const soxr_error_t failure = soxr_process(Resampler, input, frames, &used,
                                                  ResampledBatch.data(), ResampledFrames, &made);
        if (failure != nullptr) {
            error = std::string("cannot resample: ") + failure;
            return false;
        }
        if (!writeResampled(file, made, target, error)) {
            return false;
        }
        input += used * ExportChannels;
        frames -= used;
    }
    if (!last) {
        return true;
    }
    // No input: the resampler gives up what it holds.
    for (std::size_t made = 1; made > 0;) {
        const soxr_error_t failure = soxr_process(Resampler, nullptr, 0, nullptr,
                                                  ResampledBatch.data(), ResampledFrames, &made);
        if (failure != nullptr) {
            error = std::string("cannot resample: ") + failure;
            return false;
        }
        if (!writeResampled(file, made, target, error)) {
            return false;
        }
    }
    // Its last frames may fall a frame or two short of the exact length.
    std::fill(ResampledBatch.begin(), ResampledBatch.end(), 0.0F);
    while (ResampledWritten < target) {
        if (!writeResampled(file, ResampledFrames, target, error)) {
            return false;
        }
    }
    return true;
}

std::int64_t opusFrames(std::int64_t frames) {
    return (frames * OpusRate + ExportRate / 2) / ExportRate;
}

bool writeBatch(SNDFILE* file, AudioFormat format, std::int32_t count, std::int64_t& frames,
                std::string& error) {
    if (!isLossy(format)) {
        if (sf_write_short(file, SampleBuffer.data(), count) != count) {
            writeFailed(file, error);
            return false;
        }
        frames += count / ExportChannels;
        return !sinkFailed(error);
    }
    for (std::int32_t i = 0; i < count; ++i) {
        FloatBatch[static_cast<std::size_t>(i)] =
            static_cast<float>(SampleBuffer[static_cast<std::size_t>(i)]) / 32768.0F;
    }
    frames += count / ExportChannels;
    if (format == AudioFormat::Opus) {
        return resampleAndWrite(file, FloatBatch.data(),
                                static_cast<std::size_t>(count / ExportChannels), false,
                                opusFrames(frames), error);
    }
    if (sf_writef_float(file, FloatBatch.data(), count / ExportChannels) !=
        count / ExportChannels) {
        writeFailed(file, error);
        return false;
    }
    return !sinkFailed(error);
}

// Streams the open track into the file; false with a message when a write fails.
bool writeSamples(SNDFILE* file, AudioFormat format, std::int64_t total, const std::string& name,
                  bool progress, std::int64_t& frames, std::string& error) {
    frames = 0;
    int shownPercent = -1;
    while (true) {
        const std::int32_t count = fillBatch();
        if (count > 0 && !writeBatch(file, format, count, frames, error)) {
            return false;
        }
        const std::int64_t written = frames * ExportChannels;
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
    if (format == AudioFormat::Opus &&
        !resampleAndWrite(file, FloatBatch.data(), 0, true, opusFrames(frames), error)) {
        return false;
    }
    // The FLAC and MP3 encoders start at the first samples; a track without
    // any still needs its stream header (and ID3 tag) to be a readable file.
    // libsndfile's Ogg Vorbis writer manages alone, but the Opus file it
    // closes without an audio page is one that no reader takes.
    if (frames == 0 && format == AudioFormat::Opus) {
        error = "the track has no samples, and an Opus file cannot be empty";
        return false;
    }
    if (frames == 0 && format != AudioFormat::Ogg) {
        sf_command(file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    }
    return !sinkFailed(error);
}

// Opens the encoder on fd with the track's tags and quality set; nullptr
// with a message when libsndfile refuses.
SNDFILE* openEncoder(int fd, AudioFormat format, double quality, std::int32_t number,
                     const char* title, std::string& error) {
    SinkFd = fd;
    SinkError = 0;
    SF_INFO info{};
    info.samplerate = fileRate(format);
    info.channels = ExportChannels;
    info.format = sndfileFormat(format);
    SNDFILE* const file = sf_open_virtual(&SinkIo, SFM_WRITE, &info, nullptr);
    if (file == nullptr) {
        error = std::string("cannot open the ") + formatName(format) +
                " encoder: " + sf_strerror(nullptr);
        return nullptr;
    }
    if (format == AudioFormat::Opus) {
        // The Opus header names the rate the samples came at.
        int original = ExportRate;
        sf_command(file, SFC_SET_ORIGINAL_SAMPLERATE, &original, sizeof original);
        soxr_error_t failure = nullptr;
        if (Resampler == nullptr) {
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
            const soxr_quality_spec_t recipe = soxr_quality_spec(SOXR_HQ, 0);
            Resampler =
                soxr_create(ExportRate, OpusRate, ExportChannels, &failure, &io, &recipe, nullptr);
        } else {
            failure = soxr_clear(Resampler);
        }
        ResampledWritten = 0;
        if (failure != nullptr) {
            error = std::string("cannot resample: ") + failure;
            sf_close(file);
            return nullptr;
        }
    }
    if (!applyQuality(file, format, quality, error) ||
        !setFileTags(file, format, number, visibleCount(), title, error)) {
        sf_close(file);
        return nullptr;
    }
    return file;
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
    return prefix + safeTitle(title) + formatExtension(format);
}

ExportResult exportTrack(std::int32_t number, const std::string& directory, AudioFormat format,
                         double quality, bool progress) {
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
    std::string encoderError;
    SNDFILE* const file = openEncoder(fd, format, quality, number, title, encoderError);
    bool complete = false;
    if (file == nullptr) {
        result.error = encoderError;
    } else {
        complete = writeSamples(file, format, opening.samples, name, progress, result.frames,
                                result.error);
        // Closing writes the header and the encoder's last frames.
        if (sf_close(file) != 0 && complete) {
            result.error = "cannot finish " + temporary;
            complete = false;
        }
        if (complete && sinkFailed(result.error)) {
            complete = false;
        }
        if (progress) {
            eraseProgress(name);
        }
    }
    if (complete && !addTrackTotal(fd, format, visibleCount(), result.error)) {
        complete = false;
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
    result.notedBlocks = NotedBlocks;
    return result;
}

int createTemporaryFile(const std::string& directory, const std::string& name, std::string& path) {
    return createTemporary(directory, name, 0666, path);
}

void forgetTemporaryFile() {
    clearPendingTemporary();
}

void installInterruptCleanup() {
    catchTerminationSignals();
}

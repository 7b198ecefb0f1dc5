#include "tests/export/export_support.h"

#include <algorithm>
#include <filesystem>
#include <sndfile.h>
#include <stdexcept>

#include "tools/encoder/bundle_write.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

Bytes trackBytes(const std::vector<TestBlock>& blocks) {
    Bytes bytes;
    placeTrack(bytes, 0, blocks);
    return bytes;
}

Bytes encodedPiece(std::uint32_t seed, double seconds) {
    EncodedTrack track{};
    std::string error;
    if (!encodeTrack(synthesisePiece(seed, seconds, false), HeaderLeadIn, track, error)) {
        throw std::runtime_error(error);
    }
    return track.bytes;
}

void writeRows(const std::string& path, const std::vector<std::pair<std::int32_t, Bytes>>& rows) {
    std::vector<TrackUpdate> updates;
    for (const auto& [row, bytes] : rows) {
        updates.push_back({row, bytes});
    }
    std::string error;
    if (!writeBundle(path, updates, BundleMode::Fresh, error)) {
        throw std::runtime_error(error);
    }
}

AudioFile readAudio(const std::string& path) {
    AudioFile audio;
    SF_INFO info{};
    SNDFILE* const file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return audio;
    }
    audio.opened = true;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    // Read to the end rather than trust the frame count: FLAC stores 0 for
    // "unknown", which an empty file has.
    Samples chunk(8192);
    for (sf_count_t got; (got = sf_read_short(file, chunk.data(), 8192)) > 0;) {
        audio.samples.insert(audio.samples.end(), chunk.begin(), chunk.begin() + got);
    }
    sf_close(file);
    return audio;
}

ProgramRun runExporter(const std::vector<std::string>& arguments) {
    return runProgram(ZELVOR_EXPORT, arguments, {{}, 60});
}

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

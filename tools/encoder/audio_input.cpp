#include "tools/encoder/audio_input.h"

#include <samplerate.h>
#include <sndfile.h>

std::vector<StereoValue> quantiseFrames(const std::vector<float>& interleaved) {
    std::vector<StereoValue> frames(interleaved.size() / 2);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        frames[i] =
            StereoValue{quantiseSample(interleaved[2 * i]), quantiseSample(interleaved[2 * i + 1])};
    }
    return frames;
}

bool readAudioFile(const std::string& path, std::vector<StereoValue>& frames, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 2) {
        error = path + " has " + std::to_string(info.channels) +
                " channels; only mono and stereo can be packed";
        sf_close(file);
        return false;
    }
    if (info.samplerate <= 0) {
        error = path + " has no sample rate";
        sf_close(file);
        return false;
    }
    // Longer than a track can be at any rate worth having: refuse early
    // rather than read gigabytes.
    constexpr sf_count_t MaxInputFrames = sf_count_t{1} << 30;
    if (info.frames > MaxInputFrames) {
        error = path + " is far too long for a track";
        sf_close(file);
        return false;
    }

    std::vector<float> samples(static_cast<std::size_t>(info.frames) *
                               static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    if (got < 0) {
        error = "cannot read the samples of " + path;
        return false;
    }
    samples.resize(static_cast<std::size_t>(got) * static_cast<std::size_t>(info.channels));

    std::vector<float> stereo;
    if (info.channels == 1) {
        stereo.resize(samples.size() * 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            stereo[2 * i] = samples[i];
            stereo[2 * i + 1] = samples[i];
        }
    } else {
        stereo = std::move(samples);
    }

    if (info.samplerate != SampleRate && !stereo.empty()) {
        const double ratio = static_cast<double>(SampleRate) / info.samplerate;
        std::vector<float> converted(
            static_cast<std::size_t>(static_cast<double>(stereo.size() / 2) * ratio + 64) * 2);
        SRC_DATA data{};
        data.data_in = stereo.data();
        data.input_frames = static_cast<long>(stereo.size() / 2);
        data.data_out = converted.data();
        data.output_frames = static_cast<long>(converted.size() / 2);
        data.src_ratio = ratio;
        const int failure = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 2);
        if (failure != 0) {
            error = "cannot convert " + path + " from " + std::to_string(info.samplerate) +
                    " Hz to 22050 Hz: " + src_strerror(failure);
            return false;
        }
        converted.resize(static_cast<std::size_t>(data.output_frames_gen) * 2);
        stereo = std::move(converted);
    }
    frames = quantiseFrames(stereo);
    return true;
}

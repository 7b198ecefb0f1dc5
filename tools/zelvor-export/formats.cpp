#include "tools/zelvor-export/formats.h"

#include <cmath>
#include <cstdio>

const char* formatName(AudioFormat format) {
    switch (format) {
    case AudioFormat::Wav:
        return "wav";
    case AudioFormat::Flac:
        return "flac";
    case AudioFormat::Opus:
        return "opus";
    case AudioFormat::Mp3:
        return "mp3";
    case AudioFormat::Ogg:
        return "ogg";
    }
    return "flac";
}

std::optional<AudioFormat> formatNamed(std::string_view name) {
    for (const AudioFormat format : {AudioFormat::Wav, AudioFormat::Flac, AudioFormat::Opus,
                                     AudioFormat::Mp3, AudioFormat::Ogg}) {
        if (name == formatName(format)) {
            return format;
        }
    }
    return std::nullopt;
}

const char* formatExtension(AudioFormat format) {
    switch (format) {
    case AudioFormat::Wav:
        return ".wav";
    case AudioFormat::Flac:
        return ".flac";
    case AudioFormat::Opus:
        return ".opus";
    case AudioFormat::Mp3:
        return ".mp3";
    case AudioFormat::Ogg:
        return ".ogg";
    }
    return ".flac";
}

int sndfileFormat(AudioFormat format) {
    switch (format) {
    case AudioFormat::Wav:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    case AudioFormat::Flac:
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    case AudioFormat::Opus:
        return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    case AudioFormat::Mp3:
        return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    case AudioFormat::Ogg:
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    }
    return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
}

std::int32_t fileRate(AudioFormat format) {
    return format == AudioFormat::Opus ? OpusRate : ExportRate;
}

bool isLossy(AudioFormat format) {
    return format == AudioFormat::Opus || format == AudioFormat::Mp3 || format == AudioFormat::Ogg;
}

QualityScale qualityScale(AudioFormat format) {
    switch (format) {
    case AudioFormat::Wav:
        return {};
    case AudioFormat::Flac:
        return {true, 0, 8, 5, true, "compression level, 8 smallest; always lossless"};
    case AudioFormat::Opus:
        return {true, 12, 512, 96, false, "bitrate in kbit/s"};
    case AudioFormat::Mp3:
        return {true, 0, 9, 2, false, "LAME VBR quality (lame -V), 0 best"};
    case AudioFormat::Ogg:
        return {true, 0, 10, 5, false, "Vorbis quality (oggenc -q), 10 best"};
    }
    return {};
}

std::string qualityProblem(AudioFormat format, double quality) {
    const QualityScale scale = qualityScale(format);
    if (!scale.exists) {
        return std::string("--quality has no meaning for ") + formatName(format);
    }
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", scale.lowest, scale.highest);
    if (!(quality >= scale.lowest && quality <= scale.highest) ||
        (scale.whole && quality != std::floor(quality))) {
        return std::string("--quality for ") + formatName(format) + " must be " +
               (scale.whole ? "a whole number " : "") + "from " + range + " (" + scale.meaning +
               ")";
    }
    return "";
}

bool applyQuality(SNDFILE* file, AudioFormat format, double quality, std::string& error) {
    // libsndfile's setting runs from 0 (best, largest) to 1 (smallest).
    double level = 0;
    switch (format) {
    case AudioFormat::Wav:
        return true;
    case AudioFormat::Flac:
        level = quality / 8;
        break;
    case AudioFormat::Ogg:
        level = 1 - quality / 10;
        break;
    case AudioFormat::Mp3: {
        // Variable bitrate first: the level means the VBR quality only then.
        int mode = SF_BITRATE_MODE_VARIABLE;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        level = quality / 10;
        break;
    }
    case AudioFormat::Opus: {
        // libsndfile spends (1 - level) * 250 + 6 kbit/s on each channel.
        const double perChannel = quality / ExportChannels;
        level = 1 - (perChannel - 6) / 250;
        break;
    }
    }
    if (sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level) != SF_TRUE) {
        error = std::string("the ") + formatName(format) + " encoder refused quality " +
                std::to_string(quality) + ": " + sf_strerror(file);
        return false;
    }
    return true;
}

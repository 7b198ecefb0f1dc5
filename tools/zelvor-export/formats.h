#pragma once
// The file formats export writes: names, extensions, libsndfile formats,
// sample rates and each format's own quality scale.
#include <cstdint>
#include <optional>
#include <sndfile.h>
#include <string>
#include <string_view>

enum class AudioFormat { Wav, Flac, Opus, Mp3, Ogg };

inline constexpr std::int32_t ExportRate = 22050;
inline constexpr std::int32_t ExportChannels = 2;
// Opus takes only its own rates; 24000 Hz keeps everything below the
// 11025 Hz the tracks can hold and costs the least resampling.
inline constexpr std::int32_t OpusRate = 24000;

// "wav", "flac", "opus", "mp3", "ogg".
const char* formatName(AudioFormat format);
std::optional<AudioFormat> formatNamed(std::string_view name);
// ".flac" and so on.
const char* formatExtension(AudioFormat format);
// SF_FORMAT_* major and minor format for sf_open.
int sndfileFormat(AudioFormat format);
std::int32_t fileRate(AudioFormat format);
bool isLossy(AudioFormat format);

// The format's own quality setting: FLAC's compression level 0-8, the Ogg
// Vorbis quality 0-10 (oggenc's -q), the Opus bitrate in kbit/s, LAME's VBR
// quality 0-9 (lame -V, 0 best). WAV has none.
struct QualityScale {
    bool exists = false;
    double lowest = 0;
    double highest = 0;
    double standard = 0; // used when --quality is not given
    bool whole = false;  // whole numbers only
    const char* meaning = "";
};
QualityScale qualityScale(AudioFormat format);
// Empty when quality is on the format's scale, else what is wrong.
std::string qualityProblem(AudioFormat format, double quality);

// Passes quality to the open file's encoder before any sample is written;
// false with a message when libsndfile refuses it.
bool applyQuality(SNDFILE* file, AudioFormat format, double quality, std::string& error);

// zelvor-export's file formats as a music library sees them: the samples of
// the lossy formats, the tags read back through libsndfile and through a
// reader of each tag format of its own, the quality setting, the playlist,
// and a folder that runs out of space.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <samplerate.h>
#include <sndfile.h>
#include <sstream>
#include <sys/mount.h>
#include <tuple>
#include <unistd.h>

#include <taglib/infotag.h>
#include <taglib/wavfile.h>

#include "tests/export/export_support.h"
#include "tools/encoder/track_encode.h"

namespace {

using Tags = std::map<std::string, std::string>;

struct Decoded {
    bool opened = false;
    int rate = 0;
    int channels = 0;
    sf_count_t frames = 0; // as the header states
    std::vector<float> samples;
    Tags tags; // libsndfile's strings under Vorbis comment names
};

Decoded decode(const std::string& path) {
    Decoded decoded;
    SF_INFO info{};
    SNDFILE* const file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return decoded;
    }
    decoded.opened = true;
    decoded.rate = info.samplerate;
    decoded.channels = info.channels;
    decoded.frames = info.frames;
    const struct {
        int type;
        const char* name;
    } strings[] = {{SF_STR_TITLE, "TITLE"},
                   {SF_STR_ALBUM, "ALBUM"},
                   {SF_STR_TRACKNUMBER, "TRACKNUMBER"},
                   {SF_STR_GENRE, "GENRE"}};
    for (const auto& string : strings) {
        if (const char* const text = sf_get_string(file, string.type)) {
            decoded.tags[string.name] = text;
        }
    }
    std::vector<float> chunk(8192);
    for (sf_count_t got; (got = sf_read_float(file, chunk.data(), 8192)) > 0;) {
        decoded.samples.insert(decoded.samples.end(), chunk.begin(), chunk.begin() + got);
    }
    sf_close(file);
    return decoded;
}

// "KEY=value" lines, keys in capitals.
Tags parseTagLines(const std::string& text) {
    Tags tags;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        for (char& c : key) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        tags[key] += (tags.count(key) != 0U ? "|" : "") + line.substr(equals + 1);
    }
    return tags;
}

// The tags as a reader other than libsndfile sees them: metaflac for FLAC,
// mutagen for Ogg Vorbis, Opus and ID3, TagLib for RIFF INFO. ID3 frames and
// INFO entries are given Vorbis comment names.
Tags independentTags(const std::string& path, const std::string& format) {
    if (format == "flac") {
        const ProgramRun run = runProgram("/usr/bin/metaflac", {"--export-tags-to=-", path});
        EXPECT_EQ(run.status, 0) << run.err;
        return parseTagLines(run.out);
    }
    if (format == "wav") {
        TagLib::RIFF::WAV::File file(path.c_str());
        Tags tags;
        const struct {
            const char* id;
            const char* name;
        } entries[] = {
            {"INAM", "TITLE"}, {"IPRD", "ALBUM"}, {"ITRK", "TRACKNUMBER"}, {"IGNR", "GENRE"}};
        for (const auto& entry : entries) {
            const TagLib::String text = file.InfoTag()->fieldText(entry.id);
            if (!text.isEmpty()) {
                tags[entry.name] = text.to8Bit(true);
            }
        }
        return tags;
    }
    const char* const script = R"(
import sys, mutagen
names = {'TIT2': 'TITLE', 'TALB': 'ALBUM', 'TRCK': 'TRACKNUMBER', 'TCON': 'GENRE'}
f = mutagen.File(sys.argv[1])
for key, value in (f.tags.items() if f.tags is not None else []):
    if hasattr(f.tags, 'version'):  # ID3
        if key in names:
            print(names[key] + '=' + str(value))
    else:
        for one in value:
            print(key + '=' + one)
)";
    const ProgramRun run = runProgram("/usr/bin/python3", {"-c", script, path});
    EXPECT_EQ(run.status, 0) << run.err;
    return parseTagLines(run.out);
}

// Correlation of one channel of two interleaved stereo signals, frame for
// frame from the start.
double correlation(const std::vector<float>& a, const std::vector<float>& b, int channel) {
    double ab = 0;
    double aa = 0;
    double bb = 0;
    for (std::size_t i = static_cast<std::size_t>(channel); i < a.size() && i < b.size(); i += 2) {
        ab += static_cast<double>(a[i]) * b[i];
        aa += static_cast<double>(a[i]) * a[i];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

// The lossless samples at Opus's rate, through a converter of higher
// quality than the exporter's.
std::vector<float> resampled(const std::vector<float>& samples, double ratio) {
    std::vector<float> out(static_cast<std::size_t>(samples.size() * ratio) + 4096);
    SRC_DATA data{};
    data.data_in = samples.data();
    data.input_frames = static_cast<long>(samples.size() / 2);
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size() / 2);
    data.src_ratio = ratio;
    EXPECT_EQ(src_simple(&data, SRC_SINC_BEST_QUALITY, 2), 0);
    out.resize(static_cast<std::size_t>(data.output_frames_gen) * 2);
    return out;
}

// A track of a steady tone at hertz on both channels.
Bytes toneTrack(double hertz, double seconds) {
    std::vector<StereoValue> frames(static_cast<std::size_t>(seconds * 22050));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::uint16_t value = quantiseSample(
            static_cast<float>(0.4 * std::sin(2 * M_PI * hertz * static_cast<double>(i) / 22050)));
        frames[i] = {value, value};
    }
    EncodedTrack track{};
    std::string error;
    EXPECT_TRUE(encodeTrack(frames, HeaderLeadIn, track, error)) << error;
    return track.bytes;
}

double rms(const std::vector<float>& samples) {
    double sum = 0;
    for (const float sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

class Formats : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        bundle = directory + "/zelvormusic.bun";
        output = directory + "/out";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::string directory;
    std::string bundle;
    std::string output;
};

TEST_F(Formats, LossyFilesHoldTheSameMusicForTheSameLength) {
    writeRows(bundle, {{0, encodedPiece(21, 6.0)}});
    for (const char* format : {"flac", "opus", "mp3", "ogg"}) {
        const ProgramRun run = runExporter({"export", bundle, "0", "-o", output, "-f", format});
        ASSERT_EQ(run.status, 0) << format << ": " << run.err;
    }
    const Decoded flac = decode(output + "/00 Abbey (Cloister).flac");
    ASSERT_TRUE(flac.opened);
    const auto frames = static_cast<sf_count_t>(flac.samples.size() / 2);
    ASSERT_GT(frames, 6 * 22050);
    const struct {
        const char* format;
        int rate;
    } cases[] = {{"opus", 24000}, {"mp3", 22050}, {"ogg", 22050}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const Decoded lossy = decode(output + "/00 Abbey (Cloister)." + c.format);
        ASSERT_TRUE(lossy.opened);
        EXPECT_EQ(lossy.rate, c.rate);
        EXPECT_EQ(lossy.channels, 2);
        // The frame count is kept exactly, scaled to the file's rate.
        const sf_count_t expected = (frames * c.rate + 11025) / 22050;
        EXPECT_EQ(lossy.frames, expected);
        EXPECT_EQ(static_cast<sf_count_t>(lossy.samples.size() / 2), expected);
        // No delay, no garbling: the same music, channel by channel.
        const std::vector<float> reference =
            c.rate == 22050 ? flac.samples : resampled(flac.samples, c.rate / 22050.0);
        for (int channel = 0; channel < 2; ++channel) {
            EXPECT_GT(correlation(reference, lossy.samples, channel), 0.99)
                << "channel " << channel;
        }
    }
}

TEST_F(Formats, OpusKeepsTheHighestTonesATrackHolds) {
    // Resampling to Opus's rate must not take the treble: at 10 kHz, near
    // the top of what 22050 Hz holds, the tone keeps its level.
    writeRows(bundle, {{0, toneTrack(10000, 3.0)}, {1, toneTrack(1000, 3.0)}});
    for (const char* format : {"flac", "opus"}) {
        const ProgramRun run =
            runExporter({"export", bundle, "0", "1", "-o", output, "-f", format});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    for (const char* name : {"/00 Abbey (Cloister).", "/01 Abbey (Crypt)."}) {
        SCOPED_TRACE(name);
        const double flac = rms(decode(output + name + "flac").samples);
        const double opus = rms(decode(output + name + "opus").samples);
        EXPECT_GT(flac, 0.25);
        EXPECT_NEAR(20 * std::log10(opus / flac), 0.0, 1.0);
    }
}

TEST_F(Formats, EveryFormatCarriesTheTagsALibrarySortsBy) {
    Bytes empty = patterned(8192, 22);
    putTag(empty, 8188);
    writeRows(bundle, {{6, encodedPiece(23, 2.0)}, {1, trackBytes({{empty, 0}})}});
    const struct {
        const char* format;
        const char* trackNumber; // for track 5, libsndfile and the other reader
        const char* total;       // TRACKTOTAL and TOTALTRACKS, where kept
    } cases[] = {{"flac", "6", "62"},
                 {"ogg", "6", "62"},
                 {"opus", "6", "62"},
                 {"mp3", "6/62", nullptr},
                 {"wav", "6", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const ProgramRun run =
            runExporter({"export", bundle, "5", "0", "1", "-o", output, "-f", c.format});
        // Track 0 has no track in this bundle; track 1 has no samples, which
        // every format but Opus can hold.
        EXPECT_EQ(run.status, 1) << run.err;
        const bool opus = c.format == std::string("opus");
        EXPECT_EQ(run.err.find("track 1 not exported: the track has no samples, and an Opus "
                               "file cannot be empty") != std::string::npos,
                  opus)
            << run.err;
        for (const auto& [name, title, number] :
             {std::tuple{"/05 Bazaar (Morning).", "Bazaar (Morning)", std::string(c.trackNumber)},
              std::tuple{"/01 Abbey (Crypt).", "Abbey (Crypt)",
                         std::string(c.format == std::string("mp3") ? "2/62" : "2")}}) {
            SCOPED_TRACE(name);
            const std::string path = output + name + c.format;
            if (opus && std::string(title) == "Abbey (Crypt)") {
                EXPECT_FALSE(std::filesystem::exists(path));
                continue;
            }
            const Decoded decoded = decode(path);
            ASSERT_TRUE(decoded.opened);
            const Tags expected{{"TITLE", title},
                                {"ALBUM", "Zelvor Soundtrack"},
                                {"TRACKNUMBER", number},
                                {"GENRE", "Soundtrack"}};
            EXPECT_EQ(decoded.tags, expected);
            Tags other = independentTags(path, c.format);
            if (c.total != nullptr) {
                EXPECT_EQ(other["TRACKTOTAL"], c.total);
                EXPECT_EQ(other["TOTALTRACKS"], c.total);
            }
            other.erase("TRACKTOTAL");
            other.erase("TOTALTRACKS");
            other.erase("ENCODER"); // libsndfile names itself in Ogg Vorbis
            EXPECT_EQ(other, expected);
        }
    }
}

TEST_F(Formats, QualityReachesTheEncoder) {
    writeRows(bundle, {{0, encodedPiece(24, 8.0)}});
    const struct {
        const char* format;
        const char* low;  // the smaller file
        const char* high; // the larger
    } cases[] = {{"flac", "8", "0"}, {"opus", "32", "160"}, {"mp3", "9", "0"}, {"ogg", "1", "9"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        std::uintmax_t sizes[2] = {};
        for (int i = 0; i < 2; ++i) {
            const std::string folder = output + "/" + (i == 0 ? c.low : c.high);
            const ProgramRun run = runExporter({"export", bundle, "0", "-o", folder, "-f", c.format,
                                                "-q", i == 0 ? c.low : c.high});
            ASSERT_EQ(run.status, 0) << run.err;
            sizes[i] = std::filesystem::file_size(folder + "/00 Abbey (Cloister)." + c.format);
        }
        EXPECT_LT(static_cast<double>(sizes[0]), 0.8 * static_cast<double>(sizes[1]));
    }
    // The same samples at either FLAC level.
    EXPECT_TRUE(readAudio(output + "/8/00 Abbey (Cloister).flac").samples ==
                readAudio(output + "/0/00 Abbey (Cloister).flac").samples);
}

TEST_F(Formats, PlaylistListsTheFilesInTrackOrderWhenThereAreSeveral) {
    writeRows(bundle,
              {{0, encodedPiece(25, 2.4)}, {1, encodedPiece(26, 3.6)}, {6, encodedPiece(27, 1.0)}});
    const std::string playlist = output + "/Zelvor Soundtrack.m3u8";
    const ProgramRun run =
        runExporter({"export", bundle, "5", "1", "0", "-o", output, "-f", "ogg"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(playlist + "\n"), std::string::npos) << run.out;
    const Bytes text = readFile(playlist);
    // Durations: the frames written, rounded to whole seconds.
    std::vector<std::int64_t> seconds;
    for (const char* name :
         {"/00 Abbey (Cloister).ogg", "/01 Abbey (Crypt).ogg", "/05 Bazaar (Morning).ogg"}) {
        const Decoded decoded = decode(output + name);
        seconds.push_back((static_cast<std::int64_t>(decoded.samples.size() / 2) + 11025) / 22050);
    }
    EXPECT_EQ(seconds, (std::vector<std::int64_t>{2, 4, 1}));
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "#EXTM3U\n"
              "#EXTINF:2,Abbey (Cloister)\n00 Abbey (Cloister).ogg\n"
              "#EXTINF:4,Abbey (Crypt)\n01 Abbey (Crypt).ogg\n"
              "#EXTINF:1,Bazaar (Morning)\n05 Bazaar (Morning).ogg\n");

    // One track, or --no-playlist: no playlist.
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"0"}, std::vector<std::string>{"0", "1", "--no-playlist"}}) {
        std::filesystem::remove_all(output);
        std::vector<std::string> arguments{"export", bundle, "-o", output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const ProgramRun other = runExporter(arguments);
        ASSERT_EQ(other.status, 0) << other.err;
        EXPECT_FALSE(std::filesystem::exists(playlist));
        EXPECT_EQ(other.out.find("m3u8"), std::string::npos);
    }
}

// A small tmpfs, mounted for the test when it runs as root.
class FullFolder : public Formats {
  protected:
    void TearDown() override {
        if (mounted) {
            umount2(output.c_str(), MNT_DETACH);
        }
        Formats::TearDown();
    }

    bool mountTmpfs(std::uintmax_t bytes) {
        std::filesystem::create_directories(output);
        const std::string options = "size=" + std::to_string(bytes);
        mounted = mount("tmpfs", output.c_str(), "tmpfs", 0, options.c_str()) == 0;
        return mounted;
    }

    bool mounted = false;
};

TEST_F(FullFolder, AnExportThatRunsOutOfSpaceLeavesNoPartialFile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root; not tested";
    }
    // A short track that fits, then a long one that does not.
    writeRows(bundle, {{0, encodedPiece(28, 1.0)}, {1, encodedPiece(29, 40.0)}});
    for (const char* format : {"flac", "wav", "opus", "mp3", "ogg"}) {
        SCOPED_TRACE(format);
        // The sizes the files come to where there is room.
        const std::string roomy = directory + "/roomy-" + format;
        ASSERT_EQ(runExporter({"export", bundle, "0", "1", "-o", roomy, "-f", format}).status, 0);
        const std::uintmax_t first =
            std::filesystem::file_size(roomy + "/00 Abbey (Cloister)." + format);
        const std::uintmax_t second =
            std::filesystem::file_size(roomy + "/01 Abbey (Crypt)." + format);
        ASSERT_GT(second, 4 * first + 64 * 1024);

        if (!mountTmpfs(first + 32 * 1024 + second / 2)) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        const ProgramRun run =
            runExporter({"export", bundle, "0", "1", "-o", output, "-f", format, "--no-playlist"});
        EXPECT_EQ(run.status, 1);
        const std::string kept = output + "/00 Abbey (Cloister)." + format;
        EXPECT_EQ(run.out, kept + "\n");
        EXPECT_NE(run.err.find("track 1 not exported: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
        EXPECT_EQ(folderNames(output),
                  std::vector<std::string>{"00 Abbey (Cloister)." + std::string(format)});
        EXPECT_TRUE(decode(kept).samples ==
                    decode(roomy + "/00 Abbey (Cloister)." + format).samples);
        ASSERT_EQ(umount2(output.c_str(), 0), 0) << std::strerror(errno);
        mounted = false;
    }
}

} // namespace

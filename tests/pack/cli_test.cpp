// The zelvor-pack program: its arguments, errors and exit status, and audio
// files read through libsndfile.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/wait.h>

#include "driver/catalogue.h"
#include "tests/pack/pack_support.h"
#include "tools/encoder/audio_input.h"
#include "tools/encoder/bundle_write.h"

namespace {

bool writeWave(const std::filesystem::path& path, std::int32_t rate, std::int32_t channels,
               std::int32_t format, const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    const bool ok = sf_writef_float(file, samples.data(), frames) == frames;
    sf_close(file);
    return ok;
}

std::vector<float> tone(std::size_t values, double step) {
    std::vector<float> out(values);
    for (std::size_t i = 0; i < values; ++i) {
        out[i] = static_cast<float>(0.5 * std::sin(step * static_cast<double>(i)));
    }
    return out;
}

class PackProgram : public testing::Test {
  protected:
    void SetUp() override {
        folder = makeScratchFolder("cli");
        ASSERT_TRUE(writeWave(at("stereo.wav"), 22050, 2, SF_FORMAT_FLOAT, tone(2 * 3000, 0.05)));
        ASSERT_TRUE(writeWave(at("mono44k.wav"), 44100, 1, SF_FORMAT_PCM_16, tone(44100, 0.03)));
        ASSERT_TRUE(writeWave(at("three.wav"), 22050, 3, SF_FORMAT_PCM_16, tone(3 * 100, 0.1)));
        FILE* text = std::fopen(at("notes.txt").c_str(), "w");
        ASSERT_NE(text, nullptr);
        std::fputs("not audio\n", text);
        std::fclose(text);
    }
    void TearDown() override { std::filesystem::remove_all(folder.path); }
    std::string at(const std::string& name) const { return (folder.path / name).string(); }

    // Runs zelvor-pack in the scratch folder; returns its exit status.
    int run(const std::string& arguments) {
        const std::string command = "cd '" + folder.path.string() + "' && '" ZELVOR_PACK_PATH "' " +
                                    arguments + " >out.txt 2>err.txt";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string errors() const {
        const std::vector<std::uint8_t> b = fileBytes(folder.path / "err.txt");
        return std::string(b.begin(), b.end());
    }
    ScratchFolder folder;
};

struct BadArguments {
    const char* arguments;
    const char* message; // part of the error text
};

TEST_F(PackProgram, BadArgumentsExitWithStatus1AndWriteNothing) {
    const std::vector<BadArguments> cases{
        {"", "name the bundle"},
        {"out.bun", "name the bundle"},
        {"--demo", "--demo takes"},
        {"--demo out.bun extra", "--demo takes"},
        {"--bogus out.bun 0=stereo.wav", "unknown option"},
        {"out.bun 62=stereo.wav", "TRACK from 0 to 61"},
        {"out.bun -1=stereo.wav", "TRACK from 0 to 61"},
        {"out.bun x=stereo.wav", "TRACK from 0 to 61"},
        {"out.bun stereo.wav", "TRACK from 0 to 61"},
        {"out.bun 0=missing.wav", "cannot read"},
        {"out.bun 0=notes.txt", "cannot read"},
        {"out.bun 0=three.wav", "3 channels"},
        {"out.bun 0=synth:1", "synth:SEED:SECONDS"},
        {"out.bun 0=synth:1:601", "synth:SEED:SECONDS"},
        {"out.bun 0=stereo.wav 0=stereo.wav", "given twice"},
        // Track 30 is row 41, with 389743 bytes before the next row.
        {"out.bun 30=synth:1:12", "would run into the next row"},
    };
    for (const BadArguments& c : cases) {
        EXPECT_EQ(run(c.arguments), 1) << c.arguments;
        EXPECT_NE(errors().find(c.message), std::string::npos) << c.arguments << ": " << errors();
        EXPECT_FALSE(std::filesystem::exists(at("out.bun"))) << c.arguments;
    }
    EXPECT_EQ(run("--help"), 0);
}

TEST_F(PackProgram, WritesAndUpdatesTracks) {
    ASSERT_EQ(run("out.bun 0=stereo.wav 61=mono44k.wav"), 0) << errors();
    std::vector<StoredBlock> last;
    std::string error;
    ASSERT_TRUE(readTrack(at("out.bun"), 83, last, error)) << error;
    const std::vector<std::uint8_t> before =
        fileRange(at("out.bun"), TrackCatalogue[83].streamOffset, 16);

    // Refused: the bundle stays as it was.
    const std::uintmax_t size = std::filesystem::file_size(at("out.bun"));
    EXPECT_EQ(run("out.bun 1=stereo.wav 30=synth:2:12"), 1);
    EXPECT_EQ(std::filesystem::file_size(at("out.bun")), size);
    std::vector<StoredBlock> blocks;
    EXPECT_FALSE(readTrack(at("out.bun"), 1, blocks, error));

    ASSERT_EQ(run("out.bun 1=synth:3:2"), 0) << errors();
    EXPECT_TRUE(readTrack(at("out.bun"), 1, blocks, error)) << error;
    EXPECT_TRUE(readTrack(at("out.bun"), 0, blocks, error)) << error;
    EXPECT_EQ(fileRange(at("out.bun"), TrackCatalogue[83].streamOffset, 16), before);
}

TEST(AudioInput, StereoAt22050IsQuantisedAsIs) {
    const ScratchFolder folder = makeScratchFolder("audio");
    const std::vector<float> samples{0.0f, -1.0f, 0.999f, 0.25f, -0.5f, 8.0f / 32768, 2.0f, -2.0f};
    ASSERT_TRUE(writeWave(folder.path / "s.wav", 22050, 2, SF_FORMAT_FLOAT, samples));
    ASSERT_TRUE(writeWave(folder.path / "m.wav", 22050, 1, SF_FORMAT_FLOAT, samples));
    ASSERT_TRUE(writeWave(folder.path / "m44.wav", 44100, 1, SF_FORMAT_PCM_16, tone(44100, 0.01)));
    std::vector<StereoValue> frames;
    std::string error;
    ASSERT_TRUE(readAudioFile((folder.path / "s.wav").string(), frames, error)) << error;
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].left, quantiseSample(samples[2 * i]));
        EXPECT_EQ(frames[i].right, quantiseSample(samples[2 * i + 1]));
    }
    ASSERT_TRUE(readAudioFile((folder.path / "m.wav").string(), frames, error)) << error;
    ASSERT_EQ(frames.size(), samples.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].left, quantiseSample(samples[i]));
        EXPECT_EQ(frames[i].right, frames[i].left);
    }
    // One second at 44100 Hz becomes one second at 22050 Hz.
    ASSERT_TRUE(readAudioFile((folder.path / "m44.wav").string(), frames, error)) << error;
    EXPECT_NEAR(static_cast<double>(frames.size()), 22050.0, 2.0);
    std::filesystem::remove_all(folder.path);
}

} // namespace

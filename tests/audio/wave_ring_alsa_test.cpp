// The ring with the program's own layers: the ALSA device and the
// platform's events, played into a file (tests/support/alsa).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "audio/wave_ring.h"
#include "tests/support/alsa/alsa_test_config.h"

namespace {

constexpr DWORD BatchBytes = 16384;

std::vector<char> batch(int number) {
    std::vector<char> bytes(BatchBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 13 + static_cast<std::size_t>(number) * 101) & 0xFF);
    }
    return bytes;
}

class WaveRingAlsaTest : public testing::Test {
  protected:
    void SetUp() override {
        capturePath = testing::TempDir() + "zelvor_ring_" + std::to_string(getpid()) + ".raw";
        useAlsaConfig(CaptureConfig, capturePath);
    }
    void TearDown() override { std::remove(capturePath.c_str()); }

    // Submits the batches and returns what they hold, one after another.
    static std::vector<char> submitBatches(int count) {
        std::vector<char> all;
        for (int i = 0; i < count; ++i) {
            const std::vector<char> bytes = batch(i);
            waveRingSubmit(bytes.data(), BatchBytes);
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        return all;
    }

    std::string capturePath;
};

TEST_F(WaveRingAlsaTest, EverySubmissionIsPlayedInOrder) {
    testing::internal::CaptureStdout();
    waveRingOpen();
    // More batches than slots, so that submissions wait for finished ones.
    const std::vector<char> submitted = submitBatches(45);
    waveRingClose();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<char> captured = readCapture(capturePath);
    EXPECT_EQ(captured.size(), submitted.size());
    EXPECT_TRUE(captured == submitted);
}

TEST_F(WaveRingAlsaTest, StopGivesEverythingBackAndClosesSilently) {
    testing::internal::CaptureStdout();
    waveRingOpen();
    const std::vector<char> submitted = submitBatches(20);
    waveRingStop();
    waveRingClose();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // Whatever was played before the stop came out in order.
    const std::vector<char> captured = readCapture(capturePath);
    ASSERT_LE(captured.size(), submitted.size());
    EXPECT_TRUE(std::equal(captured.begin(), captured.end(), submitted.begin()));
}

TEST(WaveRingAlsaDeathTest, NoDeviceEndsTheProgramWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            useAlsaConfig(NoDeviceConfig);
            std::fflush(stdout);
            dup2(2, 1);
            waveRingOpen();
        },
        testing::ExitedWithCode(1), "^Can't init audio system\\.\\.\\.\n$");
}

} // namespace

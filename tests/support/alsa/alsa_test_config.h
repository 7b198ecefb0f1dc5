#pragma once
// Points ALSA at one of the test configurations beside this file (see
// capture.conf). Targets that include this define ZELVOR_ALSA_SUPPORT_DIR
// and link ALSA.
#include <alsa/asoundlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline constexpr const char* CaptureConfig = "capture.conf";
inline constexpr const char* NoDeviceConfig = "no_device.conf";

// Makes the next snd_pcm_open read the named configuration; with
// capture.conf the sound lands in capturePath.
inline void useAlsaConfig(const char* config, const std::string& capturePath = "/dev/null") {
    const std::string path = std::string(ZELVOR_ALSA_SUPPORT_DIR) + "/" + config;
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
    setenv("ZELVOR_CAPTURE_FILE", capturePath.c_str(), 1);
    // ALSA keeps the configuration it read first for the whole process.
    snd_config_update_free_global();
}

inline std::vector<char> readCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

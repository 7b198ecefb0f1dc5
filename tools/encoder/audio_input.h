#pragma once
// Audio files (WAV, FLAC, ... through libsndfile) as 12-bit stereo values.
#include <string>
#include <vector>

#include "tools/encoder/track_encode.h"

// Reads a mono or stereo file; mono is played on both channels, another rate
// than 22050 Hz is converted. Fails with a message for anything else.
bool readAudioFile(const std::string& path, std::vector<StereoValue>& frames, std::string& error);

// Quantises interleaved stereo floats (full scale 1.0) to 12-bit values.
std::vector<StereoValue> quantiseFrames(const std::vector<float>& interleaved);

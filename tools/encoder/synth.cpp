#include "tools/encoder/synth.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace {

struct Random {
    std::uint64_t state;
};

std::uint32_t nextRandom(Random& r) {
    // xorshift64*
    r.state ^= r.state >> 12;
    r.state ^= r.state << 25;
    r.state ^= r.state >> 27;
    return static_cast<std::uint32_t>((r.state * 2685821657736338717ULL) >> 32);
}

std::int32_t pick(Random& r, std::int32_t count) {
    return static_cast<std::int32_t>(nextRandom(r) % static_cast<std::uint32_t>(count));
}

using Scale = std::array<std::int32_t, 7>;
constexpr std::array<Scale, 6> Scales{{
    {0, 2, 4, 5, 7, 9, 11}, // major
    {0, 2, 3, 5, 7, 8, 10}, // natural minor
    {0, 2, 3, 5, 7, 9, 10}, // dorian
    {0, 2, 4, 5, 7, 9, 10}, // mixolydian
    {0, 2, 3, 5, 7, 8, 11}, // harmonic minor
    {0, 2, 4, 6, 7, 9, 11}, // lydian
}};

// Chord roots as scale degrees, one per bar.
constexpr std::array<std::array<std::int32_t, 4>, 5> Progressions{{
    {0, 5, 3, 4},
    {0, 3, 4, 0},
    {0, 4, 5, 3},
    {5, 3, 0, 4},
    {0, 2, 3, 4},
}};

// Harmonic amplitudes of the timbres (1st to 6th partial).
constexpr std::array<std::array<float, 6>, 4> Timbres{{
    {1.0f, 0.30f, 0.10f, 0.00f, 0.00f, 0.00f}, // flute
    {1.0f, 0.50f, 0.00f, 0.25f, 0.00f, 0.12f}, // organ
    {1.0f, 0.00f, 0.33f, 0.00f, 0.20f, 0.00f}, // hollow square
    {1.0f, 0.60f, 0.40f, 0.25f, 0.15f, 0.08f}, // bright pluck
}};

struct Voice {
    double start;     // seconds
    double length;    // seconds
    double frequency; // Hz
    float level;
    float pan; // 0 left .. 1 right
    std::int32_t timbre;
    float attack; // seconds
    float decay;  // per second, exponential; 0 holds the level
};

double noteFrequency(std::int32_t midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

std::int32_t scaleNote(const Scale& scale, std::int32_t root, std::int32_t degree) {
    const std::int32_t octave = degree >= 0 ? degree / 7 : (degree - 6) / 7;
    const std::int32_t step = degree - 7 * octave;
    return root + 12 * octave + scale[static_cast<std::size_t>(step)];
}

void render(std::vector<float>& mix, const Voice& v, bool centred) {
    const double pan = centred ? 0.5 : v.pan;
    const std::int64_t total = static_cast<std::int64_t>(mix.size() / 2);
    const std::int64_t first = static_cast<std::int64_t>(v.start * SampleRate);
    const double release = 0.04;
    const std::int64_t count = static_cast<std::int64_t>((v.length + release) * SampleRate);
    const auto& partials = Timbres[static_cast<std::size_t>(v.timbre)];
    const double w = 2.0 * std::numbers::pi * v.frequency / SampleRate;
    for (std::int64_t i = 0; i < count && first + i < total; ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        double envelope = std::min(1.0, t / v.attack) * std::exp(-v.decay * t);
        if (t > v.length) {
            envelope *= std::max(0.0, 1.0 - (t - v.length) / release);
        }
        double s = 0.0;
        for (std::size_t h = 0; h < partials.size(); ++h) {
            if (partials[h] != 0.0f && v.frequency * static_cast<double>(h + 1) < 9000.0) {
                s += partials[h] *
                     std::sin(w * static_cast<double>((h + 1) * static_cast<std::size_t>(i)));
            }
        }
        const double value = s * envelope * v.level;
        const std::size_t at = static_cast<std::size_t>(first + i) * 2;
        mix[at] += static_cast<float>(value * (1.0 - pan));
        mix[at + 1] += static_cast<float>(value * pan);
    }
}

void renderKick(std::vector<float>& mix, double start) {
    const std::int64_t total = static_cast<std::int64_t>(mix.size() / 2);
    const std::int64_t first = static_cast<std::int64_t>(start * SampleRate);
    double phase = 0.0;
    for (std::int64_t i = 0; i < SampleRate / 4 && first + i < total; ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        phase += 2.0 * std::numbers::pi * (45.0 + 90.0 * std::exp(-t * 30.0)) / SampleRate;
        const double value = 0.5 * std::sin(phase) * std::exp(-t * 14.0);
        const std::size_t at = static_cast<std::size_t>(first + i) * 2;
        mix[at] += static_cast<float>(value);
        mix[at + 1] += static_cast<float>(value);
    }
}

} // namespace

std::vector<StereoValue> synthesisePiece(std::uint32_t seed, double seconds, bool centred) {
    Random r{0x9E3779B97F4A7C15ULL ^ (std::uint64_t{seed} * 0xD1B54A32D192ED03ULL) ^ 1ULL};
    for (int i = 0; i < 4; ++i) {
        nextRandom(r);
    }
    const Scale& scale = Scales[static_cast<std::size_t>(pick(r, Scales.size()))];
    const std::int32_t root = 45 + pick(r, 12);
    const double beat = 60.0 / (70 + pick(r, 70));
    const std::int32_t leadTimbre = pick(r, 4);
    const std::int32_t padTimbre = pick(r, 2);
    const float leadPan = 0.3f + 0.4f * static_cast<float>(pick(r, 100)) / 100.0f;
    const bool drums = pick(r, 3) != 0;

    const std::size_t frameCount = static_cast<std::size_t>(std::max(0.0, seconds) * SampleRate);
    std::vector<float> mix(frameCount * 2, 0.0f);

    // Tunes are made of two-bar motifs; a section plays motif A twice, then B,
    // then A again, over its own progression.
    const double bar = 4.0 * beat;
    std::int32_t degree = 7;
    for (std::int32_t section = 0; section * 8 * bar < seconds; ++section) {
        const auto& progression =
            Progressions[static_cast<std::size_t>(pick(r, Progressions.size()))];
        std::array<std::array<std::int32_t, 16>, 2> motifs{};
        for (auto& motif : motifs) {
            for (std::int32_t& note : motif) {
                const std::int32_t roll = pick(r, 10);
                if (roll < 2) {
                    note = -100; // rest
                } else if (roll < 4) {
                    note = -101; // hold the previous note
                } else {
                    degree = std::clamp(degree + pick(r, 5) - 2, 2, 13);
                    note = degree;
                }
            }
        }
        for (std::int32_t b = 0; b < 8; ++b) {
            const double barStart = (section * 8 + b) * bar;
            if (barStart >= seconds) {
                break;
            }
            const std::int32_t chord = progression[static_cast<std::size_t>(b % 4)];
            for (std::int32_t k = 0; k < 3; ++k) {
                const std::int32_t midi = scaleNote(scale, root + 12, chord + 2 * k);
                render(mix,
                       Voice{barStart, bar, noteFrequency(midi), 0.07f,
                             k == 1 ? 0.5f : (k == 0 ? 0.25f : 0.75f), padTimbre, 0.3f, 0.3f},
                       centred);
            }
            for (std::int32_t half = 0; half < 2; ++half) {
                const std::int32_t midi =
                    scaleNote(scale, root - 12, chord + (half == 1 && b % 2 ? 4 : 0));
                render(mix,
                       Voice{barStart + half * 2 * beat, 2 * beat - 0.05, noteFrequency(midi),
                             0.28f, 0.5f, 3, 0.005f, 1.5f},
                       centred);
            }
            if (drums) {
                renderKick(mix, barStart);
                renderKick(mix, barStart + 2 * beat);
            }
            const auto& motif = motifs[static_cast<std::size_t>((b / 2 == 2) ? 1 : 0)];
            for (std::int32_t e = 0; e < 8; ++e) {
                const std::int32_t note = motif[static_cast<std::size_t>((b % 2) * 8 + e)];
                if (note < 0) {
                    continue;
                }
                std::int32_t length = 1;
                while (e + length < 8 &&
                       motif[static_cast<std::size_t>((b % 2) * 8 + e + length)] == -101) {
                    ++length;
                }
                render(mix,
                       Voice{barStart + e * beat / 2, length * beat / 2 - 0.02,
                             noteFrequency(scaleNote(scale, root + 12, note)), 0.18f, leadPan,
                             leadTimbre, 0.01f, leadTimbre == 3 ? 3.0f : 0.8f},
                       centred);
            }
        }
    }

    // Fade in and out, then scale to a comfortable peak.
    float peak = 0.0f;
    const double fadeIn = 0.05 * SampleRate;
    const double fadeOut = std::min(2.0, seconds / 4) * SampleRate;
    for (std::size_t i = 0; i < frameCount; ++i) {
        const double fromEnd = static_cast<double>(frameCount - i);
        const double gain = std::min({1.0, static_cast<double>(i) / fadeIn, fromEnd / fadeOut});
        mix[2 * i] = static_cast<float>(mix[2 * i] * gain);
        mix[2 * i + 1] = static_cast<float>(mix[2 * i + 1] * gain);
        peak = std::max({peak, std::abs(mix[2 * i]), std::abs(mix[2 * i + 1])});
    }
    const float scaleBy = peak > 0.0f ? 0.8f / peak : 1.0f;
    std::vector<StereoValue> frames(frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) {
        frames[i] = StereoValue{quantiseSample(mix[2 * i] * scaleBy),
                                quantiseSample(mix[2 * i + 1] * scaleBy)};
    }
    return frames;
}

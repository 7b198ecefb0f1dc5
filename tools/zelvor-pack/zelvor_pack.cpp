// zelvor-pack: writes audio as tracks of a Zelvor music bundle.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/catalogue.h"
#include "tools/common/tool_io.h"
#include "tools/encoder/audio_input.h"
#include "tools/encoder/bundle_write.h"
#include "tools/encoder/demo.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"
#include "zelvor_version.h"

namespace {

constexpr const char* Usage =
    "usage: zelvor-pack [--no-wait] OUT.bun TRACK=AUDIOFILE...\n"
    "       zelvor-pack [--no-wait] --demo OUT.bun\n"
    "       zelvor-pack --help | --version\n"
    "\n"
    "Writes each AUDIOFILE (WAV, FLAC, ... mono or stereo; other rates than\n"
    "22050 Hz are converted) as the playable track TRACK (0 to 61) of OUT.bun,\n"
    "creating the bundle or updating it in place; the other tracks are kept.\n"
    "AUDIOFILE may also be synth:SEED:SECONDS for a built-in synthesised piece.\n"
    "--demo writes a new bundle with a synthesised piece in every row.\n"
    "While another zelvor-pack updates the same bundle, the update waits for it\n"
    "and then keeps its tracks; with --no-wait it fails at once instead.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "zelvor-pack: %s\n", message.c_str());
    std::fprintf(stderr, "Try 'zelvor-pack --help'.\n");
    return 1;
}

bool parseWhole(const std::string& text, long maximum, long& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stol(text);
    return value <= maximum;
}

// synth:SEED:SECONDS
bool readSynthSource(const std::string& source, std::vector<StereoValue>& frames,
                     std::string& error) {
    const std::size_t colon = source.find(':', 6);
    long seed = 0;
    long seconds = 0;
    if (colon == std::string::npos || !parseWhole(source.substr(6, colon - 6), 0xFFFFFFFFL, seed) ||
        !parseWhole(source.substr(colon + 1), 600, seconds)) {
        error = "'" + source + "' is not synth:SEED:SECONDS (SECONDS at most 600)";
        return false;
    }
    frames = synthesisePiece(static_cast<std::uint32_t>(seed), static_cast<double>(seconds), false);
    return true;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runDemo(const std::string& path, BundleWait wait) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<DemoTrackReport> report;
    std::string error;
    if (!writeDemoBundle(path, report, error, wait)) {
        return fail(error);
    }
    std::int64_t stored = 0;
    std::int64_t raw = 0;
    double seconds = 0.0;
    const DemoTrackReport* shortest = &report.front();
    for (const DemoTrackReport& r : report) {
        stored += r.storedBytes;
        raw += r.rawStreamBytes;
        seconds += r.seconds;
        if (r.seconds < shortest->seconds) {
            shortest = &r;
        }
    }
    const DemoTrackReport& longest = report[static_cast<std::size_t>(
        &rowForNumber(DemoLongTrackNumber) - TrackCatalogue.data())];
    std::printf("%s: %zu tracks, %.0f s of music, %lld bytes stored for %lld stream bytes "
                "(%.1f%%), %.1f s\n",
                path.c_str(), report.size(), seconds, static_cast<long long>(stored),
                static_cast<long long>(raw),
                100.0 * static_cast<double>(stored) / static_cast<double>(raw),
                secondsSince(start));
    std::printf("track %d: %.0f s, %lld bytes stored for %lld stream bytes (%.1f%%); "
                "shortest piece: %.0f s in row %d\n",
                DemoLongTrackNumber, longest.seconds, static_cast<long long>(longest.storedBytes),
                static_cast<long long>(longest.rawStreamBytes),
                100.0 * static_cast<double>(longest.storedBytes) /
                    static_cast<double>(longest.rawStreamBytes),
                shortest->seconds, shortest->row);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    checkOutputAtExit("zelvor-pack");
    catchTerminationSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    BundleWait wait = BundleWait::Wait;
    if (!args.empty() && args[0] == "--no-wait") {
        wait = BundleWait::NoWait;
        args.erase(args.begin());
    }
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("zelvor-pack %s\n", ZELVOR_VERSION);
        return 0;
    }
    if (!args.empty() && args[0] == "--demo") {
        if (args.size() != 2) {
            return fail("--demo takes the bundle to write, and nothing else");
        }
        return runDemo(args[1], wait);
    }
    if (args.size() < 2) {
        return fail("name the bundle and at least one TRACK=AUDIOFILE");
    }
    if (!args[0].empty() && args[0][0] == '-') {
        return fail("unknown option " + args[0]);
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<EncodedTrack> tracks;
    std::vector<std::int32_t> rows;
    std::vector<double> seconds;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t equals = arg.find('=');
        long number = 0;
        if (equals == std::string::npos ||
            !parseWhole(arg.substr(0, equals), visibleCount() - 1, number)) {
            return fail("'" + arg + "' is not TRACK=AUDIOFILE with TRACK from 0 to " +
                        std::to_string(visibleCount() - 1));
        }
        const std::string source = arg.substr(equals + 1);
        std::vector<StereoValue> frames;
        std::string error;
        const bool read = source.rfind("synth:", 0) == 0 ? readSynthSource(source, frames, error)
                                                         : readAudioFile(source, frames, error);
        if (!read) {
            return fail(error);
        }
        EncodedTrack track{};
        if (!encodeTrack(frames, HeaderLeadIn, track, error)) {
            return fail("track " + std::to_string(number) + ": " + error);
        }
        const TrackEntry& entry = rowForNumber(static_cast<std::int32_t>(number));
        rows.push_back(static_cast<std::int32_t>(&entry - TrackCatalogue.data()));
        seconds.push_back(static_cast<double>(frames.size()) / SampleRate);
        tracks.push_back(std::move(track));
    }

    std::vector<TrackUpdate> updates;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        updates.push_back(TrackUpdate{rows[i], tracks[i].bytes});
    }
    std::string error;
    if (!writeBundle(args[0], updates, BundleMode::Update, error, wait)) {
        return fail(error);
    }
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        std::printf("row %d: %.1f s, %d blocks, %zu bytes stored for %lld stream bytes (%.1f%%)\n",
                    rows[i], seconds[i], tracks[i].blockCount, tracks[i].bytes.size(),
                    static_cast<long long>(tracks[i].rawStreamBytes),
                    100.0 * static_cast<double>(tracks[i].bytes.size()) /
                        static_cast<double>(tracks[i].rawStreamBytes));
    }
    std::printf("%s written in %.1f s\n", args[0].c_str(), secondsSince(start));
    return 0;
}

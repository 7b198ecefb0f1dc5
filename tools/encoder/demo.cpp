#include "tools/encoder/demo.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "driver/catalogue.h"
#include "tools/encoder/bundle_write.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

namespace {

std::int32_t rowOfNumber(std::int32_t number) {
    const TrackEntry& entry = rowForNumber(number);
    return static_cast<std::int32_t>(&entry - TrackCatalogue.data());
}

// Synthesises and encodes one row's piece, as long as its row allows.
bool makeDemoTrack(std::int32_t row, EncodedTrack& track, DemoTrackReport& report,
                   std::string& error) {
    const std::int32_t longRow = rowOfNumber(DemoLongTrackNumber);
    double seconds = row == longRow ? DemoLongSeconds : DemoShortSeconds;
    // The long piece is centred so that it fits its row; a short piece is
    // centred only when its row is too small for it in stereo.
    bool centred = row == longRow;
    for (;;) {
        const std::vector<StereoValue> frames =
            synthesisePiece(static_cast<std::uint32_t>(row), seconds, centred);
        if (!encodeTrack(frames, HeaderLeadIn, track, error)) {
            return false;
        }
        const std::int64_t room = rowCapacity(row);
        if (static_cast<std::int64_t>(track.bytes.size()) <= room) {
            break;
        }
        if (row == longRow) {
            error = "the long demo piece does not fit its row";
            return false;
        }
        if (!centred) {
            centred = true;
            continue;
        }
        // Shorten in proportion, with a margin, and try again.
        seconds = std::floor(seconds * static_cast<double>(room) /
                             static_cast<double>(track.bytes.size()) * 0.95);
    }
    report = DemoTrackReport{row, seconds, static_cast<std::int64_t>(track.bytes.size()),
                             track.rawStreamBytes};
    return true;
}

} // namespace

bool writeDemoBundle(const std::string& path, std::vector<DemoTrackReport>& report,
                     std::string& error, BundleWait wait) {
    std::vector<EncodedTrack> tracks(CatalogueRows);
    std::vector<DemoTrackReport> reports(CatalogueRows);
    std::vector<std::string> errors(CatalogueRows);
    std::vector<char> made(CatalogueRows, 0);
    // Rows are independent: encode them on a few threads, each taking every
    // workers-th row, the long one first.
    const std::int32_t workers =
        static_cast<std::int32_t>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    std::vector<std::thread> threads;
    for (std::int32_t w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            for (std::int32_t row = w; row < CatalogueRows; row += workers) {
                const std::size_t r = static_cast<std::size_t>(row);
                made[r] = makeDemoTrack(row, tracks[r], reports[r], errors[r]) ? 1 : 0;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (std::size_t r = 0; r < made.size(); ++r) {
        if (made[r] == 0) {
            error = "row " + std::to_string(r) + ": " + errors[r];
            return false;
        }
    }
    report = reports;
    std::vector<TrackUpdate> updates;
    for (std::int32_t row = 0; row < CatalogueRows; ++row) {
        updates.push_back(TrackUpdate{row, tracks[static_cast<std::size_t>(row)].bytes});
    }
    return writeBundle(path, updates, BundleMode::Fresh, error, wait);
}

#include "tools/encoder/demo.h"

#include "driver/catalogue.h"
#include "tools/encoder/bundle_write.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"

namespace {

std::int32_t rowOfNumber(std::int32_t number) {
    const TrackEntry& entry = rowForNumber(number);
    return static_cast<std::int32_t>(&entry - TrackCatalogue.data());
}

} // namespace

bool writeDemoBundle(const std::string& path, std::vector<DemoTrackReport>& report,
                     std::string& error) {
    const std::int32_t longRow = rowOfNumber(DemoLongTrackNumber);
    std::vector<EncodedTrack> tracks(CatalogueRows);
    report.clear();
    for (std::int32_t row = 0; row < CatalogueRows; ++row) {
        double seconds = row == longRow ? DemoLongSeconds : DemoShortSeconds;
        // The long piece is centred so that it fits its row; a short piece
        // is centred only when its row is too small for it in stereo.
        bool centred = row == longRow;
        EncodedTrack& track = tracks[static_cast<std::size_t>(row)];
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
            seconds = static_cast<double>(
                static_cast<std::int64_t>(seconds * static_cast<double>(room) /
                                          static_cast<double>(track.bytes.size()) * 0.95));
        }
        report.push_back(DemoTrackReport{
            row, seconds, static_cast<std::int64_t>(track.bytes.size()), track.rawStreamBytes});
    }
    std::vector<TrackUpdate> updates;
    for (std::int32_t row = 0; row < CatalogueRows; ++row) {
        updates.push_back(TrackUpdate{row, tracks[static_cast<std::size_t>(row)].bytes});
    }
    return writeBundle(path, updates, BundleMode::Fresh, error);
}

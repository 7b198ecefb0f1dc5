// zelvor-export: lists the tracks of a Zelvor music bundle, exports them as
// tagged audio files (FLAC, WAV, Opus, MP3, Ogg Vorbis) with a playlist and
// checks a bundle for damage.
// GCC 12 sees a null dereference in CLI11's inlined string splitting that
// cannot happen; the warning is silenced for the parser's code only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <CLI/CLI.hpp>
#pragma GCC diagnostic pop
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "driver/catalogue.h"
#include "tools/common/tool_io.h"
#include "tools/zelvor-export/formats.h"
#include "tools/zelvor-export/playlist.h"
#include "tools/zelvor-export/track_export.h"
#include "tools/zelvor-export/track_survey.h"
#include "zelvor_version.h"

namespace {

// Damage found, a track not exported, or a bundle that cannot be read.
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

void printError(const std::string& message) {
    std::fprintf(stderr, "zelvor-export: %s\n", message.c_str());
}

// "all" or visible track numbers, each once, in the order first given.
bool parseTracks(const std::vector<std::string>& words, std::vector<std::int32_t>& numbers) {
    const std::int32_t visible = visibleCount();
    std::vector<bool> chosen(static_cast<std::size_t>(visible), false);
    for (const std::string& word : words) {
        if (word == "all") {
            for (std::int32_t n = 0; n < visible; ++n) {
                if (!chosen[static_cast<std::size_t>(n)]) {
                    chosen[static_cast<std::size_t>(n)] = true;
                    numbers.push_back(n);
                }
            }
            continue;
        }
        std::int32_t number = -1;
        const char* const end = word.data() + word.size();
        const auto [stop, failure] = std::from_chars(word.data(), end, number);
        if (failure != std::errc{} || stop != end || number < 0 || number >= visible) {
            printError("track must be a number from 0 to " + std::to_string(visible - 1) +
                       " or all, not '" + word + "'");
            return false;
        }
        if (!chosen[static_cast<std::size_t>(number)]) {
            chosen[static_cast<std::size_t>(number)] = true;
            numbers.push_back(number);
        }
    }
    return true;
}

std::string durationText(std::int64_t frames) {
    const std::int64_t millis = frames * 1000 / ExportRate;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", static_cast<long long>(millis / 60000),
                  static_cast<long long>(millis / 1000 % 60),
                  static_cast<long long>(millis % 1000));
    return text;
}

std::string codecText(const std::vector<std::int32_t>& codecs) {
    std::string text;
    for (const std::int32_t codec : codecs) {
        text +=
            (text.empty() ? "" : " ") + (codec == 0 ? std::string("raw") : std::to_string(codec));
    }
    return text;
}

int runList(const std::string& bundle) {
    std::string error;
    if (!openBundle(bundle, error)) {
        printError(error);
        return ExitFailure;
    }
    std::printf("No  %-21s  %9s  %9s  %6s  %s\n", "Title", "Duration", "Frames", "Blocks",
                "Codecs");
    for (std::int32_t number = 0; number < visibleCount(); ++number) {
        const RowOpening opening = openRow(rowOfNumber(number));
        std::printf("%2d  %-21s  ", number, rowForNumber(number).title);
        if (opening.state == RowState::Ready) {
            std::printf("%9s  %9lld  %6d  %s\n", durationText(opening.samples / 2).c_str(),
                        static_cast<long long>(opening.samples / 2), opening.blockCount,
                        codecText(opening.codecs).c_str());
        } else {
            std::printf("cannot play: %s\n", openingProblem(opening).c_str());
        }
    }
    closeBundle();
    return 0;
}

struct ExportChoices {
    std::string directory = ".";
    std::string format = "flac";
    std::optional<double> quality;
    bool noPlaylist = false;
};

int runExport(const std::string& bundle, const std::vector<std::string>& trackWords,
              const ExportChoices& choices) {
    std::vector<std::int32_t> numbers;
    if (!parseTracks(trackWords, numbers)) {
        return ExitUsage;
    }
    const AudioFormat format = formatNamed(choices.format).value_or(AudioFormat::Flac);
    const double quality = choices.quality.value_or(qualityScale(format).standard);
    if (choices.quality) {
        const std::string problem = qualityProblem(format, quality);
        if (!problem.empty()) {
            printError(problem);
            return ExitUsage;
        }
    }
    const std::string& directory = choices.directory;
    std::string error;
    if (!openBundle(bundle, error)) {
        printError(error);
        return ExitFailure;
    }
    std::error_code made;
    std::filesystem::create_directories(directory, made);
    if (made) {
        printError("cannot create " + directory + ": " + made.message());
        return ExitFailure;
    }
    const bool progress = isatty(STDERR_FILENO) != 0;
    installInterruptCleanup();
    // What killed or crashed exports left in the folder.
    removeStaleTemporaries(directory, "");

    int status = 0;
    std::vector<PlaylistEntry> playlist;
    for (const std::int32_t number : numbers) {
        const ExportResult result = exportTrack(number, directory, format, quality, progress);
        if (!result.written) {
            printError("track " + std::to_string(number) + " not exported: " + result.error);
            status = ExitFailure;
            continue;
        }
        if (result.notedBlocks > 0) {
            printError("warning: track " + std::to_string(number) + ": " +
                       std::to_string(result.notedBlocks) +
                       (result.notedBlocks == 1 ? " block" : " blocks") +
                       " damaged or cut, exported as the player plays it (see verify)");
        }
        std::printf("%s\n", result.path.c_str());
        flushOutput();
        const char* const title = rowForNumber(number).title;
        playlist.push_back({number, exportFileName(number, title, format), title, result.frames});
    }
    closeBundle();
    if (!choices.noPlaylist && numbers.size() > 1 && !playlist.empty()) {
        std::string failure;
        if (!writePlaylist(directory, playlist, failure)) {
            printError("playlist not written: " + failure);
            return ExitFailure;
        }
        std::printf("%s/%s\n", directory.c_str(), PlaylistName);
        flushOutput();
    }
    return status;
}

int runVerify(const std::string& bundle, const std::vector<std::string>& trackWords) {
    // Without track numbers every row is checked, the hidden ones too: they
    // are tracks of the bundle like the others.
    std::vector<std::int32_t> rows;
    if (trackWords.empty()) {
        for (std::int32_t row = 0; row < CatalogueRows; ++row) {
            rows.push_back(row);
        }
    } else {
        std::vector<std::int32_t> numbers;
        if (!parseTracks(trackWords, numbers)) {
            return ExitUsage;
        }
        for (const std::int32_t number : numbers) {
            rows.push_back(rowOfNumber(number));
        }
    }
    std::string error;
    if (!openBundle(bundle, error)) {
        printError(error);
        return ExitFailure;
    }

    std::int32_t damaged = 0;
    std::int32_t emptyHidden = 0;
    std::int32_t number = 0;
    std::vector<std::int32_t> numberOfRow(CatalogueRows, -1);
    for (std::int32_t row = 0; row < CatalogueRows; ++row) {
        if (TrackCatalogue[static_cast<std::size_t>(row)].hidden == 0) {
            numberOfRow[static_cast<std::size_t>(row)] = number++;
        }
    }
    for (const std::int32_t row : rows) {
        const TrackEntry& entry = TrackCatalogue[static_cast<std::size_t>(row)];
        const std::int32_t visibleNumber = numberOfRow[static_cast<std::size_t>(row)];
        const RowCheck check = checkRow(row);
        if (visibleNumber >= 0) {
            std::printf("%2d  %-21s  ", visibleNumber, entry.title);
        } else {
            std::printf(" -  %-21s  ", entry.title);
        }
        const std::string where =
            visibleNumber >= 0 ? "" : " (hidden row " + std::to_string(row) + ")";
        // A hidden row is never played; a bundle may leave it empty.
        if (visibleNumber < 0 && check.opening.state == RowState::NoTrack) {
            ++emptyHidden;
            std::printf("no track%s\n", where.c_str());
            continue;
        }
        const std::vector<std::string> problems = rowProblems(check);
        if (problems.empty()) {
            std::printf("ok%s\n", where.c_str());
            continue;
        }
        ++damaged;
        std::printf("DAMAGED%s\n", where.c_str());
        for (const std::string& problem : problems) {
            std::printf("      %s\n", problem.c_str());
        }
    }
    closeBundle();
    std::printf("%zu checked, %d damaged", rows.size(), damaged);
    if (emptyHidden > 0) {
        std::printf(", %d hidden rows without a track", emptyHidden);
    }
    std::printf("\n");
    return damaged > 0 ? ExitFailure : 0;
}

// One line per format: its --quality scale and default.
std::string qualityHelp() {
    std::string text = "--quality, on each format's own scale:\n";
    for (const AudioFormat format : {AudioFormat::Flac, AudioFormat::Opus, AudioFormat::Mp3,
                                     AudioFormat::Ogg, AudioFormat::Wav}) {
        const QualityScale scale = qualityScale(format);
        char line[160];
        if (scale.exists) {
            std::snprintf(line, sizeof line, "  %-5s %g to %g, default %g: %s\n",
                          formatName(format), scale.lowest, scale.highest, scale.standard,
                          scale.meaning);
        } else {
            std::snprintf(line, sizeof line, "  %-5s none\n", formatName(format));
        }
        text += line;
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    checkOutputAtExit("zelvor-export");
    CLI::App app{"Lists, exports and verifies the tracks of a Zelvor music bundle.",
                 "zelvor-export"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "zelvor-export " ZELVOR_VERSION);

    std::string bundle;
    std::vector<std::string> tracks;
    ExportChoices choices;

    CLI::App* const list = app.add_subcommand(
        "list", "Lists the playable tracks: number, title, duration, blocks, codecs.");
    list->add_option("bundle", bundle, "The music bundle (zelvormusic.bun)")
        ->required()
        ->check(CLI::ExistingFile);

    CLI::App* const exporting = app.add_subcommand(
        "export", "Writes tracks as tagged audio files, with a playlist when there are several.");
    exporting->footer(
        std::string("Files are named \"NN Title.flac\" (or the format's extension) from the "
                    "player's track number and the title, with / \\ : * ? \" < > | and control "
                    "characters replaced by _; an existing file of that name is replaced. The "
                    "samples are those the player plays, and the final partial batch that it "
                    "drops: 22050 Hz stereo, 16-bit in FLAC and WAV, resampled to 24000 Hz for "
                    "Opus.\n\n"
                    "Tags: TITLE, ALBUM \"Zelvor Soundtrack\", GENRE \"Soundtrack\" and "
                    "TRACKNUMBER, the player's number plus one (file 05 is track 6 in a music "
                    "library); the total, 62, as TRACKTOTAL and TOTALTRACKS (FLAC, Ogg, Opus) or "
                    "in the ID3 track number \"6/62\" (MP3). WAV carries a RIFF INFO list.\n\n") +
        qualityHelp() +
        "\nWith more than one track the folder also gets \"Zelvor Soundtrack.m3u8\", the "
        "files written in track order, unless --no-playlist is given.");
    exporting->add_option("bundle", bundle, "The music bundle (zelvormusic.bun)")
        ->required()
        ->check(CLI::ExistingFile);
    exporting->add_option("tracks", tracks, "Track numbers (0 to 61) or all")->required();
    exporting
        ->add_option("-o,--output-dir", choices.directory, "Folder for the files (made if missing)")
        ->capture_default_str();
    exporting->add_option("-f,--format", choices.format, "File format")
        ->check(CLI::IsMember({"flac", "wav", "opus", "mp3", "ogg"}))
        ->capture_default_str();
    exporting->add_option("-q,--quality", choices.quality,
                          "The format's own quality setting (see below)");
    exporting->add_flag("--no-playlist", choices.noPlaylist,
                        "Write no playlist for several tracks");

    CLI::App* const verify =
        app.add_subcommand("verify", "Decodes every track and reports what is damaged.");
    verify->footer("Without track numbers every catalogue row is checked, the hidden ones too; "
                   "a hidden row without a track is reported but not counted as damage. Exit "
                   "status 1 when anything is damaged.");
    verify->add_option("bundle", bundle, "The music bundle (zelvormusic.bun)")
        ->required()
        ->check(CLI::ExistingFile);
    verify->add_option("tracks", tracks, "Only these track numbers (0 to 61) or all");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : ExitUsage;
    }
    if (list->parsed()) {
        return runList(bundle);
    }
    if (exporting->parsed()) {
        return runExport(bundle, tracks, choices);
    }
    return runVerify(bundle, tracks);
}

// zelvor-export: lists the tracks of a Zelvor music bundle, exports them as
// WAV or FLAC files and checks a bundle for damage.
// GCC 12 sees a null dereference in CLI11's inlined string splitting that
// cannot happen; the warning is silenced for the parser's code only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <CLI/CLI.hpp>
#pragma GCC diagnostic pop
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "driver/catalogue.h"
#include "tools/common/tool_io.h"
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

int runExport(const std::string& bundle, const std::vector<std::string>& trackWords,
              const std::string& directory, const std::string& formatName) {
    std::vector<std::int32_t> numbers;
    if (!parseTracks(trackWords, numbers)) {
        return ExitUsage;
    }
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
    const AudioFormat format = formatName == "wav" ? AudioFormat::Wav : AudioFormat::Flac;
    const bool progress = isatty(STDERR_FILENO) != 0;
    installInterruptCleanup();
    // What killed or crashed exports left in the folder.
    removeStaleTemporaries(directory, "");

    int status = 0;
    for (const std::int32_t number : numbers) {
        const ExportResult result = exportTrack(number, directory, format, progress);
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
    }
    closeBundle();
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

} // namespace

int main(int argc, char** argv) {
    checkOutputAtExit("zelvor-export");
    CLI::App app{"Lists, exports and verifies the tracks of a Zelvor music bundle.",
                 "zelvor-export"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "zelvor-export " ZELVOR_VERSION);

    std::string bundle;
    std::vector<std::string> tracks;
    std::string directory = ".";
    std::string format = "flac";

    CLI::App* const list = app.add_subcommand(
        "list", "Lists the playable tracks: number, title, duration, blocks, codecs.");
    list->add_option("bundle", bundle, "The music bundle (zelvormusic.bun)")
        ->required()
        ->check(CLI::ExistingFile);

    CLI::App* const exporting =
        app.add_subcommand("export", "Writes tracks as 22050 Hz stereo 16-bit WAV or FLAC files.");
    exporting->footer("Files are named \"NN Title.flac\" (or .wav) from the track's number and "
                      "title, with / \\ : * ? \" < > | and control characters replaced by _; "
                      "an existing file of that name is replaced. The samples are those the "
                      "player plays, and the final partial batch that it drops.");
    exporting->add_option("bundle", bundle, "The music bundle (zelvormusic.bun)")
        ->required()
        ->check(CLI::ExistingFile);
    exporting->add_option("tracks", tracks, "Track numbers (0 to 61) or all")->required();
    exporting->add_option("-o,--output-dir", directory, "Folder for the files (made if missing)")
        ->capture_default_str();
    exporting->add_option("-f,--format", format, "File format")
        ->check(CLI::IsMember({"wav", "flac"}))
        ->capture_default_str();

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
        return runExport(bundle, tracks, directory, format);
    }
    return runVerify(bundle, tracks);
}

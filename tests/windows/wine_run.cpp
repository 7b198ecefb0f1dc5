#include "tests/windows/wine_run.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <unistd.h>

#include "zelvor_version.h"

namespace {

constexpr std::size_t FrameBytes = 4;
constexpr std::size_t BatchFrames = 4096;
constexpr double RunSeconds = 120;

bool executable(const char* path) {
    return access(path, X_OK) == 0;
}

bool zeroFrames(const Bytes& bytes, std::size_t from, std::size_t count) {
    for (std::size_t i = from * FrameBytes; i < (from + count) * FrameBytes; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

ProgramRun runLinux(const std::vector<std::string>& arguments, const std::string& capture) {
    std::remove(capture.c_str());
    return runProgram(
        ZELVOR_PLAYER, arguments,
        {{"ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF, "ZELVOR_CAPTURE_FILE=" + capture}, RunSeconds});
}

ProgramRun runWindows(const std::vector<std::string>& arguments, const std::string& capture) {
    std::remove(capture.c_str());
    startWine();
    std::vector<std::string> wineArguments{ZELVOR_WINDOWS_PLAYER};
    wineArguments.insert(wineArguments.end(), arguments.begin(), arguments.end());
    return runProgram(ZELVOR_WINE, wineArguments, {wineEnvironment(capture), RunSeconds});
}

} // namespace

std::string windowsRunMissing() {
    if (!executable(ZELVOR_WINDOWS_PLAYER)) {
        return std::string(ZELVOR_WINDOWS_PLAYER) +
               " is missing: build it with `cmake --preset windows && cmake --build --preset "
               "windows` (scripts/test does)";
    }
    if (!executable(ZELVOR_WINE)) {
        return "Wine is missing (" ZELVOR_WINE "): scripts/install-deps installs it";
    }
    if (access(ZELVOR_WINE_PREFIX "/.zelvor-ready", F_OK) != 0) {
        return "the Wine prefix " ZELVOR_WINE_PREFIX " is not made: the test wine_prefix_make "
               "makes it (ctest runs it first)";
    }
    return {};
}

void startWine() {
    runProgram(ZELVOR_WINE_PREFIX_SCRIPT, {"start", ZELVOR_WINE_PREFIX});
}

std::vector<std::string> wineEnvironment(const std::string& capturePath) {
    return {"WINEPREFIX=" ZELVOR_WINE_PREFIX, "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=", "ALSA_CONFIG_PATH=" ZELVOR_CAPTURE_CONF,
            "ZELVOR_CAPTURE_FILE=" + capturePath};
}

std::string creditLine(const std::string& system) {
    return "ZelvorTrack " ZELVOR_VERSION " for " + system + ", by its developers";
}

std::string asLinuxOutput(const std::string& windowsOut) {
    std::string out;
    out.reserve(windowsOut.size());
    for (std::size_t i = 0; i < windowsOut.size(); ++i) {
        if (windowsOut[i] != '\r' || i + 1 >= windowsOut.size() || windowsOut[i + 1] != '\n') {
            out += windowsOut[i];
        }
    }
    const std::string windowsCredit = creditLine("Windows");
    if (const std::size_t at = out.find(windowsCredit); at != std::string::npos) {
        out.replace(at, windowsCredit.size(), creditLine("Linux"));
    }
    return out;
}

CaptureDifference compareCaptures(const Bytes& linuxCapture, const Bytes& windowsCapture) {
    CaptureDifference difference;
    if (linuxCapture == windowsCapture) {
        difference.equal = true;
        return difference;
    }
    std::ostringstream text;
    text << "Linux captured " << linuxCapture.size() << " bytes, Windows " << windowsCapture.size();
    std::size_t first = 0;
    while (first < linuxCapture.size() && first < windowsCapture.size() &&
           linuxCapture[first] == windowsCapture[first]) {
        ++first;
    }
    const std::size_t frame = first / FrameBytes;
    text << "; they differ from frame " << frame;
    const bool wholeFrames =
        linuxCapture.size() % FrameBytes == 0 && windowsCapture.size() % FrameBytes == 0;
    if (wholeFrames && windowsCapture.size() > linuxCapture.size()) {
        const std::size_t extra = (windowsCapture.size() - linuxCapture.size()) / FrameBytes;
        const auto after = static_cast<std::ptrdiff_t>((frame + extra) * FrameBytes);
        if (zeroFrames(windowsCapture, frame, extra) &&
            std::equal(windowsCapture.begin() + after, windowsCapture.end(),
                       linuxCapture.begin() + static_cast<std::ptrdiff_t>(frame * FrameBytes))) {
            difference.zerosInserted = true;
            difference.atFrame = frame;
            difference.frames = extra;
            difference.atEnd = frame * FrameBytes == linuxCapture.size();
            text << ", where Windows has " << extra << " zero frames in addition";
        }
    }
    difference.text = text.str();
    return difference;
}

BothRuns runBoth(const std::vector<std::string>& arguments, const std::string& captureFolder) {
    BothRuns runs;
    const std::string linuxCapture = captureFolder + "/linux.raw";
    const std::string windowsCapture = captureFolder + "/windows.raw";
    runs.linuxRun = runLinux(arguments, linuxCapture);
    runs.linuxCapture = readFile(linuxCapture);
    for (int attempt = 0; attempt < 2; ++attempt) {
        runs.windowsRun = runWindows(arguments, windowsCapture);
        runs.windowsCapture = readFile(windowsCapture);
        runs.difference = compareCaptures(runs.linuxCapture, runs.windowsCapture);
        if (!runs.difference.zerosInserted) {
            break;
        }
        const std::string inserted = "Wine inserted " + std::to_string(runs.difference.frames) +
                                     " zero frames at frame " +
                                     std::to_string(runs.difference.atFrame) +
                                     (runs.difference.atEnd ? ", after the last" : "");
        runs.note += (attempt == 0 ? "" : "; again: ") + inserted;
        std::printf("%s\n", inserted.c_str());
        if (attempt > 0) {
            break;
        }
    }
    runs.samplesMatch =
        runs.difference.equal || (!runs.note.empty() && runs.difference.zerosInserted &&
                                  runs.difference.atEnd && runs.difference.frames < BatchFrames);
    return runs;
}

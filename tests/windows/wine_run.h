#pragma once
// Runs the Linux build and ZelvorTrack.exe under Wine side by side, each
// playing into its own capture file through the tests' ALSA configuration.
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/test_bundle.h"

// Empty when the Windows build and Wine are there to run; otherwise why not.
std::string windowsRunMissing();

// Standard output of the Windows build as the Linux build prints it: each
// CR LF (the Windows console runtime's line end) as LF, and the banner's
// "for Windows" as "for Linux". Any other difference stays.
std::string asLinuxOutput(const std::string& windowsOut);
// The banner's credit line of a build for the named system.
std::string creditLine(const std::string& system);

// How a Windows capture differs from the Linux one.
struct CaptureDifference {
    bool equal = false;
    // Equal but for one run of zero frames that the Windows capture has in
    // addition, which Wine writes when its own buffer runs dry.
    bool zerosInserted = false;
    std::size_t atFrame = 0;
    std::size_t frames = 0;
    bool atEnd = false; // the run follows the last frame of the Linux capture
    std::string text;   // what differs, for a failure message
};
CaptureDifference compareCaptures(const Bytes& linuxCapture, const Bytes& windowsCapture);

struct BothRuns {
    ProgramRun linuxRun;
    ProgramRun windowsRun;
    Bytes linuxCapture;
    Bytes windowsCapture;
    CaptureDifference difference; // of the Windows run that counts
    // The captures agree: they are equal, or both Windows runs differ only
    // by fewer than a batch of zero frames after the last frame the Linux
    // build played, which Wine feeds its device between the program's last
    // buffer and the close when it is late to close on a loaded machine.
    bool samplesMatch = false;
    std::string note; // where Wine's zeros were
};

// Runs both builds in the current folder with the same arguments (relative
// paths name the same files for both). A Windows capture that differs only
// by a run of inserted zeros is played once more, and the second one counts.
BothRuns runBoth(const std::vector<std::string>& arguments, const std::string& captureFolder);

// Starts the prefix's wineserver and Wine's background programs unless they
// run already, so that none of them is started by a test's run and holds on
// to its output. Every run under Wine calls this first.
void startWine();

// The environment that runs a program under the tests' Wine prefix, its
// sound going into capturePath.
std::vector<std::string> wineEnvironment(const std::string& capturePath);

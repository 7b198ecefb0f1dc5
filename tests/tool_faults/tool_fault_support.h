#pragma once
// Starting the companion tools as a shell starts them, signals and all, and
// looking at what they leave behind.
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/stream_model.h"
#include "tests/support/test_bundle.h"

// Starts program with its standard output on outFd and standard error in
// errPath; the signals in ignored start ignored (as under nohup or as a
// background job), the others at their default.
pid_t startTool(const std::string& program, const std::vector<std::string>& arguments, int outFd,
                const std::string& errPath, const std::vector<int>& ignored = {});
// The child's wait status; a child still running after seconds is killed and
// the test fails (-1).
int finishTool(pid_t child, double seconds);
// Waits until a ".part" file shows in folder (or the child ends); true when seen.
bool awaitTemporary(const std::string& folder, pid_t child, double seconds);

// Signals child in round of a series: every fourth round once its temporary
// file shows in folder (caught counts those), the others at a random moment
// of span seconds, a run's length. Returns its wait status; ended counts the
// runs the signal ended (by that signal, or the test fails).
int interruptRun(pid_t child, int signalNumber, std::uint32_t round, double span,
                 const std::string& folder, std::uint32_t& randomState, int& caught, int& ended);

// The names in a folder, sorted; none when there is no folder.
std::vector<std::string> folderNames(const std::string& folder);
std::string fileText(const std::string& path);
// size bytes of a file from offset at (fewer when it ends).
Bytes fileRange(const std::string& path, std::int64_t at, std::size_t size);

// A process id that no process has: a child that has ended and been reaped.
pid_t goneProcess();

// The encoder's track for synth:SEED:SECONDS, as zelvor-pack makes it.
const Bytes& pieceBytes(std::uint32_t seed, double seconds);
// Every sample the player's stream reader gives for the piece: its frames
// widened to 16 bits.
Samples pieceSamples(std::uint32_t seed, double seconds);
// A track of raw blocks, count * 8192 bytes of sound, to make writes take time.
Bytes rawTrack(std::int32_t count);

// A fresh bundle with these tracks at the rows of visible track numbers.
void writeTracks(const std::string& path,
                 const std::vector<std::pair<std::int32_t, Bytes>>& tracks);
// The stored bytes at the row of visible track number, as long as expected.
Bytes storedTrack(const std::string& path, std::int32_t number, std::size_t size);
// All samples of a track as the player's stream reader gives them; empty when
// it cannot be opened.
Samples decodedTrack(const std::string& path, std::int32_t number);

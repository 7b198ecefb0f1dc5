#pragma once
// Files, signals and standard output as both companion tools handle them:
// a file being written lives under a temporary name beside its final one
// until it is complete, and nothing is left behind by an interrupted run.
#include <string>
#include <sys/types.h>

// Opens path for reading without blocking on a FIFO or a device; -1 with
// errno set when it cannot be opened, or with notRegular set when it is
// anything but a regular file (nothing is opened then).
int openRegularFile(const std::string& path, bool& notRegular);

// The file a path finally names, symbolic links followed, also when the last
// link points to a file that does not exist yet.
std::string resolveLinks(const std::string& path);
// The folder and the name of a path ("." for a bare name).
std::string folderOf(const std::string& path);
std::string nameOf(const std::string& path);

// Creates ".NAME.PID-N.part" in directory, exclusively, and notes it for
// removal when a termination signal arrives; -1 with errno when it cannot.
int createTemporary(const std::string& directory, const std::string& name, mode_t mode,
                    std::string& path);
// The temporary file is renamed or removed: a signal no longer touches it.
void clearPendingTemporary();
// Removes the temporary files of our naming in directory whose process is
// gone (killed, or the machine restarted): those for name, or all of them
// when name is empty. Files of a running process are kept.
void removeStaleTemporaries(const std::string& directory, const std::string& name);
// The same for the temporary files of file itself (after an update of it).
void removeStaleTemporariesOf(const std::string& file);

// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE remove the pending temporary
// file and then end the program as the signal would have. A signal that the
// program was started with ignored (nohup) stays ignored.
void catchTerminationSignals();

// Flushes standard output now (to show progress through a pipe), keeping
// the cause of a failure for the check at exit.
void flushOutput();
// At exit, checks that everything printed reached standard output; when it
// did not, the program ends with status 1 and a message on standard error
// (quietly for a pipe whose reader has gone).
void checkOutputAtExit(const char* program);

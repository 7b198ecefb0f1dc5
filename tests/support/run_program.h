#pragma once
// Runs a program as a child process and collects what it printed.
#include <string>
#include <vector>

struct ProgramRun {
    std::string out; // standard output
    std::string err; // standard error
    int status = -1; // exit status, or -1 when it did not exit normally
    bool timedOut = false;
};

struct ProgramOptions {
    std::vector<std::string> environment; // NAME=VALUE pairs set in the child's environment
    double timeoutSeconds = 30.0;         // the child is killed after this
};

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const ProgramOptions& options = {});

// A fresh empty directory under the system's temporary folder, removed by
// the caller if it wants to.
std::string makeTempDir();

#include "tests/tool_faults/tool_fault_support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "driver/catalogue.h"
#include "stream/stream_reader.h"
#include "tools/encoder/bundle_write.h"
#include "tools/encoder/synth.h"
#include "tools/encoder/track_encode.h"
#include "tools/zelvor-export/track_survey.h"

using Clock = std::chrono::steady_clock;

pid_t startTool(const std::string& program, const std::vector<std::string>& arguments, int outFd,
                const std::string& errPath, const std::vector<int>& ignored) {
    std::vector<std::string> store{program};
    store.insert(store.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : store) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    // Only what is safe between fork and exec from here.
    const int in = open("/dev/null", O_RDONLY);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(outFd, STDOUT_FILENO) < 0 ||
        dup2(err, STDERR_FILENO) < 0) {
        _exit(126);
    }
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        signal(signalNumber, SIG_DFL);
    }
    for (const int signalNumber : ignored) {
        signal(signalNumber, SIG_IGN);
    }
    // SIGQUIT would dump core: not here.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

int finishTool(pid_t child, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "still running after " << seconds << " s: killed";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return status;
}

bool awaitTemporary(const std::string& folder, pid_t child, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        for (const std::string& name : folderNames(folder)) {
            if (name.ends_with(".part")) {
                return true;
            }
        }
        siginfo_t ended{};
        if (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            ended.si_pid != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string fileText(const std::string& path) {
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

Bytes fileRange(const std::string& path, std::int64_t at, std::size_t size) {
    Bytes bytes(size);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const ssize_t got = pread(fd, bytes.data(), size, at);
    close(fd);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

pid_t goneProcess() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

const Bytes& pieceBytes(std::uint32_t seed, double seconds) {
    static std::map<std::pair<std::uint32_t, double>, Bytes> made;
    Bytes& bytes = made[{seed, seconds}];
    if (bytes.empty()) {
        EncodedTrack track{};
        std::string error;
        if (!encodeTrack(synthesisePiece(seed, seconds, false), HeaderLeadIn, track, error)) {
            throw std::runtime_error(error);
        }
        bytes = track.bytes;
    }
    return bytes;
}

Samples pieceSamples(std::uint32_t seed, double seconds) {
    Samples samples;
    for (const StereoValue v : synthesisePiece(seed, seconds, false)) {
        samples.push_back(widenValue(v.left));
        samples.push_back(widenValue(v.right));
    }
    return samples;
}

Bytes rawTrack(std::int32_t count) {
    std::vector<TestBlock> blocks(static_cast<std::size_t>(count),
                                  TestBlock{patterned(8192, 3), 0});
    Bytes first = patterned(8192, 4);
    putTag(first, 0);
    blocks[0].stored = first;
    Bytes bytes;
    placeTrack(bytes, 0, blocks);
    return bytes;
}

void writeTracks(const std::string& path,
                 const std::vector<std::pair<std::int32_t, Bytes>>& tracks) {
    std::vector<TrackUpdate> updates;
    for (const auto& [number, bytes] : tracks) {
        const std::int32_t row =
            static_cast<std::int32_t>(&rowForNumber(number) - TrackCatalogue.data());
        updates.push_back({row, bytes});
    }
    std::string error;
    if (!writeBundle(path, updates, BundleMode::Fresh, error)) {
        throw std::runtime_error(error);
    }
}

Bytes storedTrack(const std::string& path, std::int32_t number, std::size_t size) {
    return fileRange(path, rowForNumber(number).streamOffset, size);
}

Samples decodedTrack(const std::string& path, std::int32_t number) {
    Samples samples;
    std::string error;
    if (!openBundle(path, error)) {
        ADD_FAILURE() << error;
        return samples;
    }
    if (openRow(rowOfNumber(number)).state == RowState::Ready) {
        while (true) {
            const std::int32_t count = fillBatch();
            samples.insert(samples.end(), SampleBuffer.begin(), SampleBuffer.begin() + count);
            if (count < SampleBatchSize) {
                break;
            }
        }
    }
    closeBundle();
    return samples;
}

int interruptRun(pid_t child, int signalNumber, std::uint32_t round, double span,
                 const std::string& folder, std::uint32_t& randomState, int& caught, int& ended) {
    if (round % 4 == 0) {
        caught += awaitTemporary(folder, child, 10) ? 1 : 0;
    } else {
        std::mt19937 random(randomState++);
        std::this_thread::sleep_for(std::chrono::duration<double>(
            std::uniform_real_distribution<double>(0.0, span)(random)));
    }
    kill(child, signalNumber);
    const int status = finishTool(child, 30);
    if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), signalNumber);
        ++ended;
    }
    return status;
}

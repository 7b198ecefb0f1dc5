#include "tools/common/tool_io.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file being written, for the signal handler to remove.
char PendingPath[4096];
volatile std::sig_atomic_t PendingSet = 0;

constexpr int CaughtSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void removePendingAndEnd(int signalNumber) {
    if (PendingSet != 0) {
        unlink(PendingPath);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signalNumber, &fallback, nullptr);
    // Delivered once the handler returns, with the default action.
    raise(signalNumber);
}

void setPending(const std::string& path) {
    PendingSet = 0;
    std::snprintf(PendingPath, sizeof PendingPath, "%s", path.c_str());
    PendingSet = path.size() < sizeof PendingPath ? 1 : 0;
}

// A run of decimal digits in [from, to) as a number; -1 when empty or too long.
long digitsValue(const std::string& text, std::size_t from, std::size_t to) {
    if (from >= to || to - from > 9) {
        return -1;
    }
    long value = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// ".NAME.PID-N.part": the writer's process id, or -1 when entry is not of our
// naming (or not for name, unless name is empty).
long writerOf(const std::string& entry, const std::string& name) {
    const std::string suffix = ".part";
    if (entry.size() < 1 + suffix.size() || entry[0] != '.' || !entry.ends_with(suffix)) {
        return -1;
    }
    const std::size_t end = entry.size() - suffix.size();
    const std::size_t dash = entry.rfind('-', end);
    const std::size_t dot = dash == std::string::npos ? dash : entry.rfind('.', dash);
    if (dot == std::string::npos || dot < 2 || digitsValue(entry, dash + 1, end) < 0) {
        return -1;
    }
    if (!name.empty() && entry.compare(1, dot - 1, name) != 0) {
        return -1;
    }
    return digitsValue(entry, dot + 1, dash);
}

const char* OutputProgram = "";
// Why an earlier flush failed; 0 when none did.
int OutputError = 0;

void checkOutputNow() {
    const bool earlier = std::ferror(stdout) != 0;
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    int error = flushed || errno == 0 ? OutputError : errno;
    if (!earlier && flushed) {
        // Closing may report what a file system deferred; a standard output
        // closed from the start is no failure when nothing was printed.
        errno = 0;
        if (std::fclose(stdout) == 0 || errno == EBADF) {
            return;
        }
        error = errno;
    }
    if (error == EPIPE) {
        _exit(1); // the reader has gone: nothing to tell it
    }
    if (error != 0) {
        std::fprintf(stderr, "%s: cannot write to standard output: %s\n", OutputProgram,
                     std::strerror(error));
    } else {
        std::fprintf(stderr, "%s: cannot write to standard output\n", OutputProgram);
    }
    _exit(1);
}

} // namespace

int openRegularFile(const std::string& path, bool& notRegular) {
    notRegular = false;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        notRegular = true;
        return -1;
    }
    // Non-blocking, in case it became a FIFO since the look.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        notRegular = true;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string resolveLinks(const std::string& path) {
    std::string resolved = path;
    // As many links as the system itself follows.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status {};
        if (lstat(resolved.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return resolved;
        }
        std::string target(static_cast<std::size_t>(status.st_size) + 256, '\0');
        const ssize_t length = readlink(resolved.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return resolved;
        }
        target.resize(static_cast<std::size_t>(length));
        resolved = target[0] == '/' ? target : folderOf(resolved) + "/" + target;
    }
    return resolved;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int createTemporary(const std::string& directory, const std::string& name, mode_t mode,
                    std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = directory + "/." + name + "." + std::to_string(getpid()) + "-" +
               std::to_string(attempt) + ".part";
        // Noted before it exists, so that no moment is left uncovered.
        setPending(path);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            return fd;
        }
        clearPendingTemporary();
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

void clearPendingTemporary() {
    PendingSet = 0;
}

void removeStaleTemporaries(const std::string& directory, const std::string& name) {
    DIR* const folder = opendir(directory.c_str());
    if (folder == nullptr) {
        return;
    }
    while (const dirent* const entry = readdir(folder)) {
        const long writer = writerOf(entry->d_name, name);
        if (writer <= 0 || kill(static_cast<pid_t>(writer), 0) == 0 || errno != ESRCH) {
            continue;
        }
        struct stat status {};
        if (fstatat(dirfd(folder), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode)) {
            unlinkat(dirfd(folder), entry->d_name, 0);
        }
    }
    closedir(folder);
}

void removeStaleTemporariesOf(const std::string& file) {
    const std::string resolved = resolveLinks(file);
    removeStaleTemporaries(folderOf(resolved), nameOf(resolved));
}

void catchTerminationSignals() {
    struct sigaction action {};
    action.sa_handler = removePendingAndEnd;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : CaughtSignals) {
        sigaddset(&action.sa_mask, signalNumber);
    }
    for (const int signalNumber : CaughtSignals) {
        struct sigaction previous {};
        sigaction(signalNumber, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signalNumber, &action, nullptr);
        }
    }
}

void flushOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 && OutputError == 0) {
        OutputError = errno;
    }
}

void checkOutputAtExit(const char* program) {
    OutputProgram = program;
    std::atexit(checkOutputNow);
}

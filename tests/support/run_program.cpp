#include "tests/support/run_program.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
void drain(int fd, std::string& into, bool& open) {
    char chunk[65536];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
        into.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}
} // namespace

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    // Only the copies on 1 and 2 stay open in the child: a daemon it starts
    // must not hold the pipes, or reading them would wait for the daemon.
    for (const int end : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
        posix_spawn_file_actions_addclose(&actions, end);
    }

    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    // A name given in the options replaces the inherited one: the child's
    // getenv would find the inherited entry first.
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('=') + 1);
        const bool replaced =
            std::any_of(options.environment.begin(), options.environment.end(),
                        [&](const std::string& given) { return given.starts_with(name); });
        if (!replaced) {
            envStore.push_back(entry);
        }
    }
    envStore.insert(envStore.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> envp;
    for (std::string& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(spawned));
    }

    ProgramRun run;
    bool outOpen = true;
    bool errOpen = true;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            drain(outPipe[0], run.out, outOpen);
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            drain(errPipe[0], run.err, errOpen);
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    run.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    return run;
}

std::string makeTempDir() {
    std::string pattern = "/tmp/zelvortest-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// The console keyboard on a pseudo-terminal, through a small probe program
// (key_probe) whose standard input is the terminal's other end.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr tcflag_t KeyModeFlags = ICANON | ECHO;

struct Probe {
    pid_t pid = -1;
    int terminal = -1; // the pseudo-terminal's master side
    int output = -1;   // the probe's standard output
    std::string printed;
};

// Starts the probe as a session of its own on a new pseudo-terminal, so that
// a Ctrl-C typed there reaches it as SIGINT.
Probe startOnTerminal(const char* mode) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return {};
    }
    Probe probe;
    probe.pid = forkpty(&probe.terminal, nullptr, nullptr, nullptr);
    if (probe.pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execl(KEY_PROBE_PATH, KEY_PROBE_PATH, mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    probe.output = pipeEnds[0];
    return probe;
}

// Reads the probe's output until it holds the text (or 5 s have gone by).
bool readUntil(Probe& probe, const std::string& text) {
    for (int tries = 0; tries < 500 && probe.printed.find(text) == std::string::npos; ++tries) {
        pollfd ready{probe.output, POLLIN, 0};
        if (poll(&ready, 1, 10) > 0) {
            char bytes[256];
            const ssize_t got = read(probe.output, bytes, sizeof bytes);
            if (got <= 0) {
                break;
            }
            probe.printed.append(bytes, static_cast<std::size_t>(got));
        }
    }
    return probe.printed.find(text) != std::string::npos;
}

tcflag_t terminalFlags(const Probe& probe) {
    termios settings{};
    tcgetattr(probe.terminal, &settings);
    return settings.c_lflag & KeyModeFlags;
}

int waitForEnd(Probe& probe) {
    int status = 0;
    for (int tries = 0; tries < 500; ++tries) {
        if (waitpid(probe.pid, &status, WNOHANG) == probe.pid) {
            readUntil(probe, "\x01"); // collect what is left
            return status;
        }
        usleep(10000);
    }
    kill(probe.pid, SIGKILL);
    waitpid(probe.pid, &status, 0);
    return -1;
}

void finish(Probe& probe) {
    close(probe.terminal);
    close(probe.output);
}

struct KeyCase {
    const char* name;
    const char* mode;
    std::vector<const char*> typed; // typed at the terminal, one after another
    int signalSent;                 // sent with kill() after the typing; 0: none
    const char* printedAfterReady;
    bool endsBySignal;
    int endStatus; // exit status, or the signal that ended the probe
};

void PrintTo(const KeyCase& c, std::ostream* out) {
    *out << c.name;
}

class ConsoleKeys : public testing::TestWithParam<KeyCase> {};

TEST_P(ConsoleKeys, KeyModeWhilePlayingAndTheTerminalRestoredOnTheWayOut) {
    const KeyCase& c = GetParam();
    Probe probe = startOnTerminal(c.mode);
    ASSERT_GT(probe.pid, 0);
    ASSERT_TRUE(readUntil(probe, "ready\n")) << probe.printed;
    // Non-canonical and without echo while the probe runs.
    EXPECT_EQ(terminalFlags(probe), 0u);

    for (const char* text : c.typed) {
        ASSERT_EQ(write(probe.terminal, text, std::strlen(text)),
                  static_cast<ssize_t>(std::strlen(text)));
        usleep(50000);
    }
    if (c.signalSent != 0) {
        kill(probe.pid, c.signalSent);
    }
    const int status = waitForEnd(probe);
    ASSERT_NE(status, -1) << "the probe did not end";
    EXPECT_EQ(probe.printed, std::string("ready\n") + c.printedAfterReady);
    if (c.endsBySignal) {
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), c.endStatus);
    } else {
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.endStatus);
    }
    // Canonical mode and echo are back however the probe ended.
    EXPECT_EQ(terminalFlags(probe), KeyModeFlags);
    finish(probe);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleKeys,
    testing::Values(
        // One key without a line feed is seen at once: no line editing.
        KeyCase{"KeyWithoutLineFeed", "keys", {"a"}, 0, "key 97\n", false, 0},
        KeyCase{
            "EveryWaitingKeyIsRead", "keys", {"xyz"}, 0, "key 120\nkey 121\nkey 122\n", false, 0},
        // Ctrl-C typed at the terminal counts as a key; the probe ends normally.
        KeyCase{"CtrlCIsAKey", "keys", {"\x03"}, 0, "key 3\n", false, 0},
        KeyCase{"SecondCtrlCEnds", "hold", {"\x03", "\x03"}, 0, "", true, SIGINT},
        KeyCase{"Terminated", "hold", {}, SIGTERM, "", true, SIGTERM},
        KeyCase{"HungUp", "hold", {}, SIGHUP, "", true, SIGHUP}),
    [](const testing::TestParamInfo<KeyCase>& test) { return test.param.name; });

struct NotTerminalCase {
    const char* name;
    bool fromPipe;
};

void PrintTo(const NotTerminalCase& c, std::ostream* out) {
    *out << c.name;
}

class ConsoleKeysNotTerminal : public testing::TestWithParam<NotTerminalCase> {};

TEST_P(ConsoleKeysNotTerminal, NoKeyIsWaitingAndNothingChanges) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    // The pipe holds a byte that a terminal would have delivered as a key.
    ASSERT_EQ(write(input[1], "k", 1), 1);
    const pid_t pid = fork();
    if (pid == 0) {
        const int source = GetParam().fromPipe ? input[0] : open("/dev/null", O_RDONLY);
        dup2(source, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        execl(KEY_PROBE_PATH, KEY_PROBE_PATH, "quiet", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    Probe probe{pid, -1, output[0], {}};
    EXPECT_TRUE(readUntil(probe, "\n"));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(probe.printed, "waiting 0 sigint default\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The byte is still there: nothing was read.
    char left = 0;
    EXPECT_EQ(read(input[0], &left, 1), 1);
    close(input[0]);
    close(input[1]);
    close(output[0]);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleKeysNotTerminal,
                         testing::Values(NotTerminalCase{"Pipe", true},
                                         NotTerminalCase{"DevNull", false}),
                         [](const testing::TestParamInfo<NotTerminalCase>& test) {
                             return test.param.name;
                         });

} // namespace

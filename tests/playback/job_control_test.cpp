// The player as a job of an interactive shell on a pseudo-terminal: started
// in the background, stopped with Ctrl-Z and brought back with fg, ended by
// Ctrl-\ or by a closed pipe on its standard output. A small stand-in shell
// leads the terminal's session and runs the player in a process group of
// its own, as a shell with job control does; without it the player's group
// would be orphaned and the terminal's stop signals would be discarded.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/test_bundle.h"

namespace {

using Clock = std::chrono::steady_clock;
// The flags key mode clears: all of them set is the terminal as the shell
// keeps it.
constexpr tcflag_t ShellModeFlags = ICANON | ECHO;

struct JobStart {
    const char* player = ZELVOR_PACED_PLAYER;
    std::string bundle;
    bool foreground = true;
    bool closedOutput = false; // standard output a pipe nobody reads
};

struct Job {
    pid_t shell = -1;
    int master = -1;
    int slave = -1;    // for looking at the terminal's settings and input queue
    int commands = -1; // to the shell: 'f' brings the player to the foreground
    int reports = -1;  // from the shell: one line per change of the player
    std::string screen;
    std::string reported;
};

void writeText(int fd, const std::string& text) {
    if (write(fd, text.data(), text.size()) < 0) {
        _exit(126);
    }
}

// The stand-in shell, in the session leader on the terminal. It reports
// "stopped N", "continued", "exited N" or "killed N" for the player and, as
// a shell does, takes the terminal back while the player is stopped.
[[noreturn]] void runShell(const JobStart& start, int commands, int reports, int output) {
    signal(SIGTTOU, SIG_IGN); // it hands the terminal around from the background too
    const pid_t player = fork();
    if (player == 0) {
        setpgid(0, 0);
        if (start.foreground) {
            tcsetpgrp(STDIN_FILENO, getpid());
        }
        for (const int signalNumber : {SIGTTOU, SIGTSTP, SIGQUIT, SIGPIPE, SIGINT, SIGCONT}) {
            signal(signalNumber, SIG_DFL);
        }
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            close(output);
        }
        close(commands);
        close(reports);
        setenv("ALSA_CONFIG_PATH", ZELVOR_CAPTURE_CONF, 1);
        execl(start.player, start.player, start.bundle.c_str(), "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(player, player);
    if (start.foreground) {
        tcsetpgrp(STDIN_FILENO, player);
    }
    if (output >= 0) {
        close(output);
    }
    for (;;) {
        pollfd command{commands, POLLIN, 0};
        if (poll(&command, 1, 5) > 0) {
            char c = 0;
            if (read(commands, &c, 1) != 1) {
                kill(-player, SIGKILL); // the test has gone
                _exit(1);
            }
            if (c == 'f') {
                tcsetpgrp(STDIN_FILENO, player);
                kill(-player, SIGCONT);
            }
        }
        int status = 0;
        if (waitpid(player, &status, WNOHANG | WUNTRACED | WCONTINUED) != player) {
            continue;
        }
        if (WIFSTOPPED(status)) {
            tcsetpgrp(STDIN_FILENO, getpgrp());
            writeText(reports, "stopped " + std::to_string(WSTOPSIG(status)) + "\n");
        } else if (WIFCONTINUED(status)) {
            writeText(reports, "continued\n");
        } else if (WIFEXITED(status)) {
            writeText(reports, "exited " + std::to_string(WEXITSTATUS(status)) + "\n");
            _exit(0);
        } else if (WIFSIGNALED(status)) {
            writeText(reports, "killed " + std::to_string(WTERMSIG(status)) + "\n");
            _exit(0);
        }
    }
}

Job startJob(const JobStart& start) {
    int commands[2];
    int reports[2];
    int output[2] = {-1, -1};
    if (pipe(commands) != 0 || pipe(reports) != 0 || (start.closedOutput && pipe(output) != 0)) {
        return {};
    }
    Job job;
    job.shell = forkpty(&job.master, nullptr, nullptr, nullptr);
    if (job.shell == 0) {
        close(commands[1]);
        close(reports[0]);
        if (output[0] >= 0) {
            close(output[0]);
        }
        runShell(start, commands[0], reports[1], output[1]);
    }
    close(commands[0]);
    close(reports[1]);
    // Nobody will read what the player writes.
    if (output[0] >= 0) {
        close(output[0]);
        close(output[1]);
    }
    job.commands = commands[1];
    job.reports = reports[0];
    job.slave = open(ptsname(job.master), O_RDWR | O_NOCTTY);
    return job;
}

// Collects what the terminal shows and what the shell reports, for at most
// waitMs (returns at once when there is something).
void collect(Job& job, int waitMs) {
    pollfd ready[2] = {{job.master, POLLIN, 0}, {job.reports, POLLIN, 0}};
    if (poll(ready, 2, waitMs) <= 0) {
        return;
    }
    char bytes[4096];
    if ((ready[0].revents & POLLIN) != 0) {
        const ssize_t got = read(job.master, bytes, sizeof bytes);
        if (got > 0) {
            job.screen.append(bytes, static_cast<std::size_t>(got));
        }
    }
    if ((ready[1].revents & POLLIN) != 0) {
        const ssize_t got = read(job.reports, bytes, sizeof bytes);
        if (got > 0) {
            job.reported.append(bytes, static_cast<std::size_t>(got));
        }
    }
}

tcflag_t terminalFlags(const Job& job) {
    termios settings{};
    tcgetattr(job.slave, &settings);
    return settings.c_lflag & ShellModeFlags;
}

// Waits, with a deadline, until the condition holds.
template <typename Condition> bool waitUntil(Job& job, double seconds, Condition holds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!holds() && Clock::now() < until) {
        collect(job, 5);
    }
    return holds();
}

bool waitForReport(Job& job, const std::string& line, double seconds) {
    return waitUntil(job, seconds,
                     [&job, &line] { return job.reported.find(line) != std::string::npos; });
}

bool waitForKeyMode(Job& job, double seconds) {
    return waitUntil(job, seconds, [&job] { return terminalFlags(job) == 0; });
}

int waitingInput(const Job& job) {
    int waiting = -1;
    ioctl(job.slave, FIONREAD, &waiting);
    return waiting;
}

void type(const Job& job, const std::string& keys) {
    ASSERT_EQ(write(job.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

// A key typed to a player in key mode stops it before the end of its 60
// blocks; every key is read and the terminal is as the shell left it.
void expectAKeyToStopIt(Job& job) {
    type(job, "q");
    EXPECT_TRUE(waitForReport(job, "exited 0\n", 2)) << job.reported;
    EXPECT_EQ(job.screen.find("    60/    60"), std::string::npos) << "the key did not stop it";
    EXPECT_EQ(waitingInput(job), 0);
    EXPECT_EQ(terminalFlags(job), ShellModeFlags);
}

// Whatever happened, nothing is left running.
void finish(Job& job) {
    if (job.shell > 0) {
        close(job.commands); // the shell kills the player when it reads the end
        int status = 0;
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (waitpid(job.shell, &status, WNOHANG) == 0 && Clock::now() < until) {
            collect(job, 5);
        }
        if (waitpid(job.shell, &status, WNOHANG) == 0) {
            kill(job.shell, SIGKILL);
            waitpid(job.shell, &status, 0);
        }
    }
    close(job.reports);
    close(job.slave);
    close(job.master);
}

class JobControl : public testing::Test {
  protected:
    void SetUp() override {
        directory = makeTempDir();
        // A write to a shell that has gone must fail, not end the test.
        signal(SIGPIPE, SIG_IGN);
    }

    // A track of raw blocks, each about 0.124 s of sound.
    std::string track(std::size_t blockCount) {
        const std::string bundle = directory + "/" + std::to_string(blockCount) + ".bun";
        std::vector<TestBlock> blocks(blockCount, TestBlock{patterned(8192, 9), 0});
        putTag(blocks[0].stored, 0);
        Bytes image;
        placeTrack(image, 0x20, blocks);
        writeFile(bundle, image);
        return bundle;
    }

    std::string directory;
};

TEST_F(JobControl, StartedInTheBackgroundItPlaysOnWithoutKeys) {
    // 4.5 s of sound, of which the ring takes 3.7 s at once: the batches
    // after that are submitted, and the keys tested, after the line below is
    // typed. That line belongs to the shell.
    Job job = startJob({.bundle = track(36), .foreground = false});
    ASSERT_GT(job.shell, 0);
    ASSERT_TRUE(waitUntil(job, 5, [&job] { return job.screen.find("4/") != std::string::npos; }))
        << job.screen << job.reported;
    type(job, "x\n");
    EXPECT_TRUE(waitForReport(job, "exited 0\n", 10)) << job.reported;
    EXPECT_EQ(job.reported.find("stopped"), std::string::npos) << job.reported;
    EXPECT_NE(job.screen.find("    36/    36"), std::string::npos) << "did not play to the end";
    EXPECT_EQ(waitingInput(job), 2) << "the line typed was read";
    EXPECT_EQ(terminalFlags(job), ShellModeFlags);
    finish(job);
}

TEST_F(JobControl, BroughtToTheForegroundItTakesKeyModeAndAKeyStopsIt) {
    // Long enough that batches are still being submitted when the key comes.
    Job job = startJob({.bundle = track(60), .foreground = false});
    ASSERT_GT(job.shell, 0);
    ASSERT_TRUE(waitUntil(job, 5, [&job] { return job.screen.find("2/") != std::string::npos; }))
        << job.screen << job.reported;
    EXPECT_EQ(terminalFlags(job), ShellModeFlags);
    writeText(job.commands, "f");
    ASSERT_TRUE(waitForKeyMode(job, 2)) << "no key mode in the foreground";
    expectAKeyToStopIt(job);
    finish(job);
}

TEST_F(JobControl, StoppedItLeavesTheTerminalAsItWasAndTakesKeyModeAgainInTheForeground) {
    const struct {
        const char* name;
        bool typed; // Ctrl-Z at the terminal, or SIGTSTP sent to the process group
    } cases[] = {{"Ctrl-Z", true}, {"SIGTSTP to the group", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Job job = startJob({.bundle = track(60)});
        ASSERT_GT(job.shell, 0);
        ASSERT_TRUE(waitForKeyMode(job, 5)) << job.screen << job.reported;
        if (c.typed) {
            type(job, "\x1a");
        } else {
            kill(-tcgetpgrp(job.master), SIGTSTP);
        }
        ASSERT_TRUE(waitForReport(job, "stopped " + std::to_string(SIGTSTP) + "\n", 2))
            << job.reported;
        EXPECT_EQ(terminalFlags(job), ShellModeFlags) << "left in key mode while stopped";

        writeText(job.commands, "f");
        ASSERT_TRUE(waitForReport(job, "continued\n", 2)) << job.reported;
        EXPECT_TRUE(waitForKeyMode(job, 2)) << "no key mode after fg";
        expectAKeyToStopIt(job);
        finish(job);
    }
}

TEST_F(JobControl, EndedByCtrlBackslashOrAClosedPipeItRestoresTheTerminal) {
    const struct {
        const char* name;
        JobStart start;
        int signalNumber;
    } cases[] = {
        // Ctrl-\ while the paced player plays.
        {"Ctrl-\\", {.bundle = track(40)}, SIGQUIT},
        // The full-speed player with its output going nowhere: the first
        // flush of its progress text, some 150 blocks in, meets the closed
        // pipe, long after it took key mode at the first batch.
        {"closed pipe on standard output",
         {.player = ZELVOR_PLAYER, .bundle = track(400), .closedOutput = true},
         SIGPIPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Job job = startJob(c.start);
        ASSERT_GT(job.shell, 0);
        if (c.signalNumber == SIGQUIT) {
            ASSERT_TRUE(waitForKeyMode(job, 5)) << job.screen;
            type(job, "\x1c");
        }
        EXPECT_TRUE(waitForReport(job, "killed " + std::to_string(c.signalNumber) + "\n", 10))
            << job.reported;
        EXPECT_EQ(terminalFlags(job), ShellModeFlags) << "left in key mode";
        finish(job);
    }
}

} // namespace

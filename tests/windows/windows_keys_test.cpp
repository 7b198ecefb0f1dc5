// ZelvorTrack.exe under Wine on a pseudo-terminal, as a user's console: a
// key or Ctrl-C stops playback within a second, the program ends with the
// final line feed and status 0, and the terminal has its settings back.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utmp.h>

#include "tests/support/pty_session.h"
#include "tests/windows/wine_run.h"

namespace {

using Clock = std::chrono::steady_clock;

using Session = PtySession;

// Wine's console draws the text a character at a time between escape
// sequences, and spaces as cursor moves: the text with those left out.
std::string shownText(const std::string& screen) {
    static const std::regex escapes("\x1b\\[[0-9;?]*[A-Za-z]|[ \b\r]");
    return std::regex_replace(screen, escapes, "");
}

bool waitForText(Session& session, const std::string& text, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (shownText(session.screen).find(text) == std::string::npos && Clock::now() < until) {
        readScreen(session, 20);
    }
    return shownText(session.screen).find(text) != std::string::npos;
}

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

constexpr int BlockCount = 1000; // two minutes of sound

class WindowsKeys : public testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = windowsRunMissing();
        ASSERT_TRUE(missing.empty()) << missing;
        directory = makeTempDir();
        std::vector<TestBlock> blocks(BlockCount, TestBlock{patterned(8192, 21), 0});
        putTag(blocks[0].stored, 0);
        Bytes image;
        placeTrack(image, 0x20, blocks);
        writeFile(directory + "/zelvormusic.bun", image);
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    Session start() {
        Session session;
        if (openpty(&session.master, &session.slave, nullptr, nullptr, nullptr) != 0) {
            return session;
        }
        tcgetattr(session.slave, &startSettings);
        startWine();
        const std::vector<std::string> environment = wineEnvironment("/dev/null");
        session.pid = fork();
        if (session.pid == 0) {
            close(session.master);
            login_tty(dup(session.slave));
            for (const std::string& setting : environment) {
                putenv(const_cast<char*>(setting.c_str()));
            }
            if (chdir(directory.c_str()) == 0) {
                execl(ZELVOR_WINE, ZELVOR_WINE, ZELVOR_WINDOWS_PLAYER, "zelvormusic.bun", "0",
                      static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        return session;
    }

    std::string directory;
    termios startSettings{};
};

TEST_F(WindowsKeys, AKeyOrCtrlCStopsPlaybackAndTheTerminalIsAsItWas) {
    const struct {
        const char* name;
        std::string keys;
    } cases[] = {{"a key", "q"}, {"Ctrl-C", "\x03"}};
    const std::string count = "/" + std::to_string(BlockCount);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session session = start();
        ASSERT_GT(session.pid, 0);
        // Well into the track, with the ring full.
        const bool playing = waitForText(session, "40" + count, 30.0);
        if (!playing) {
            kill(session.pid, SIGKILL);
        }
        ASSERT_TRUE(playing) << shownText(session.screen);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        readScreen(session, 0);
        const std::size_t before = session.screen.size();

        const auto pressed = Clock::now();
        ASSERT_EQ(write(session.master, c.keys.data(), c.keys.size()),
                  static_cast<ssize_t>(c.keys.size()));
        int status = 0;
        pid_t ended = 0;
        while ((ended = waitpid(session.pid, &status, WNOHANG)) == 0 &&
               Clock::now() - pressed < std::chrono::seconds(10)) {
            readScreen(session, 5);
        }
        const double took = std::chrono::duration<double>(Clock::now() - pressed).count();
        if (ended == 0) {
            kill(session.pid, SIGKILL);
            waitpid(session.pid, &status, 0);
        }
        readScreen(session, 50);

        ASSERT_NE(ended, 0) << "still playing 10 s after the key";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_LT(took, 1.0);
        const std::string after = session.screen.substr(before);
        EXPECT_TRUE(after.ends_with("\r\n")) << "no final line feed: " << after;
        EXPECT_EQ(shownText(session.screen).find(count + count), std::string::npos)
            << "played to the end";
        termios settings{};
        ASSERT_EQ(tcgetattr(session.slave, &settings), 0);
        EXPECT_TRUE(sameSettings(settings, startSettings)) << "the terminal's settings changed";
        close(session.slave);
        close(session.master);
    }
}

} // namespace

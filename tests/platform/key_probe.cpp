// Runs the console keyboard for console_keys_test, with standard input the
// terminal (or file) under test and standard output a pipe to the test.
//   key_probe keys   first key test, "ready", then waits for keys and
//                    prints "key N" for each waiting one, then exits
//   key_probe hold   first key test, "ready", then waits to be signalled
//   key_probe quiet  prints what the key test and SIGINT look like
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "platform/console_keys.h"

namespace {

void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const bool waiting = keyWaiting();
    if (std::strcmp(argv[1], "quiet") == 0) {
        struct sigaction interrupt {};
        sigaction(SIGINT, nullptr, &interrupt);
        std::printf("waiting %d sigint %s\n", waiting ? 1 : 0,
                    interrupt.sa_handler == SIG_DFL ? "default" : "caught");
        return 0;
    }
    say("ready\n");
    if (std::strcmp(argv[1], "hold") == 0) {
        for (;;) {
            pause();
        }
    }
    while (!keyWaiting()) {
        usleep(2000);
    }
    while (keyWaiting()) {
        std::printf("key %d\n", readKey());
    }
    std::fflush(stdout);
    return 0;
}

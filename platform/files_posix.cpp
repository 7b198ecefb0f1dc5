#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "file offsets must be 64 bits wide");

// A FIFO or a device would block or never end; opening without waiting and
// looking first keeps the player from hanging in open.
std::FILE* openRegularFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* const file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool seekFile(std::FILE* file, std::int64_t position) {
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool outputIsConsole() {
    return isatty(STDOUT_FILENO) != 0;
}

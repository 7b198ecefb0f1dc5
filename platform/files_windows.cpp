#include "platform/files.h"

#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

// MinGW's off_t and fseeko are 32 bits wide unless told otherwise; the
// 64-bit calls are used by name so that no block past 2 GiB is read from
// the wrong place.
std::FILE* openRegularFile(const char* path) {
    std::FILE* const file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    // Device names such as NUL or CON open, but are no bundle.
    struct _stat64 status {};
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool seekFile(std::FILE* file, std::int64_t position) {
    return _fseeki64(file, position, SEEK_SET) == 0;
}

bool outputIsConsole() {
    return _isatty(_fileno(stdout)) != 0;
}

#pragma once
// The few file calls that each system spells its own way.
#include <cstdint>
#include <cstdio>

// The file opened for reading in binary, or nullptr when it cannot be opened
// or is no regular file (a FIFO, a device, a folder).
std::FILE* openRegularFile(const char* path);
// Moves to position, which may lie beyond 4 GiB; false when the system refuses.
bool seekFile(std::FILE* file, std::int64_t position);
// True when standard output is a console (a terminal), not a file or pipe.
bool outputIsConsole();

#include "tools/encoder/bundle_write.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/catalogue.h"
#include "tools/common/tool_io.h"

namespace {

struct Range {
    std::int64_t begin;
    std::int64_t end;
};

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

Range rowSlot(std::int32_t row) {
    const std::int64_t begin = TrackCatalogue[static_cast<std::size_t>(row)].streamOffset;
    const std::int64_t capacity = rowCapacity(row);
    const std::int64_t end =
        capacity == std::numeric_limits<std::int64_t>::max() ? capacity : begin + capacity;
    return Range{begin, end};
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size, std::int64_t at) {
    while (size > 0) {
        const ssize_t done = pwrite(fd, data, size, at);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        at += done;
    }
    return true;
}

// Copies [begin, end) of the old file, visiting only its data extents so that
// holes stay holes.
bool copyRange(int from, int to, Range range) {
    std::vector<std::uint8_t> chunk(1 << 20);
    std::int64_t at = range.begin;
    while (at < range.end) {
        off_t data = lseek(from, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                return true; // only a hole remains
            }
            data = at; // no extent information: copy everything
        }
        if (data >= range.end) {
            return true;
        }
        off_t hole = lseek(from, data, SEEK_HOLE);
        if (hole < 0) {
            hole = range.end;
        }
        const std::int64_t stop = std::min<std::int64_t>(hole, range.end);
        for (std::int64_t p = data; p < stop;) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::int64_t>(stop - p, chunk.size()));
            const ssize_t got = pread(from, chunk.data(), want, p);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return got == 0;
            }
            if (!writeAll(to, chunk.data(), static_cast<std::size_t>(got), p)) {
                return false;
            }
            p += got;
        }
        at = stop;
    }
    return true;
}

std::uint32_t bigEndian(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | at[3];
}

bool readAll(int fd, std::uint8_t* data, std::size_t size, std::int64_t at) {
    while (size > 0) {
        const ssize_t got = pread(fd, data, size, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
        at += got;
    }
    return true;
}

// Opens the bundle at target and takes its lock for the whole update; old
// stays -1 when there is no bundle yet.
bool lockBundle(const std::string& path, const std::string& target, BundleWait wait, int& old,
                std::string& error) {
    while (true) {
        bool notRegular = false;
        old = openRegularFile(target, notRegular);
        if (old < 0) {
            if (notRegular) {
                error = path + " is not a regular file";
                return false;
            }
            if (errno == ENOENT) {
                return true;
            }
            error = systemError("cannot open", path);
            return false;
        }
        if (flock(old, LOCK_EX | LOCK_NB) != 0) {
            // A file system without locks (or that locks only files open
            // for writing, as NFS does) is updated as before locks existed.
            if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EBADF) {
                return true;
            }
            if (errno != EWOULDBLOCK) {
                error = systemError("cannot lock", path);
                close(old);
                return false;
            }
            if (wait == BundleWait::NoWait) {
                error = path + " is being updated by another program (--no-wait: not waiting)";
                close(old);
                return false;
            }
            int locked = 0;
            while ((locked = flock(old, LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (locked != 0) {
                error = systemError("cannot lock", path);
                close(old);
                return false;
            }
        }
        // The one before us has replaced the file while we waited: its
        // successor is the one to lock and read.
        struct stat held {};
        struct stat named {};
        if (fstat(old, &held) == 0 && stat(target.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return true;
        }
        close(old);
    }
}

enum class Replacement : std::uint8_t { Done, Failed, Raced };

// Writes the new bundle into a temporary file beside target and renames it
// over target. Without an old bundle, Raced when one has appeared meanwhile.
Replacement replaceBundle(const std::string& path, const std::string& target, int old,
                          std::span<const TrackUpdate> updates, BundleMode mode,
                          std::vector<Range> replaced, std::int64_t size, std::string& error) {
    mode_t permissions = 0644;
    std::int64_t oldSize = 0;
    if (old >= 0) {
        struct stat info {};
        if (fstat(old, &info) != 0) {
            error = systemError("cannot open", path);
            return Replacement::Failed;
        }
        permissions = info.st_mode & 07777;
        oldSize = info.st_size;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        permissions = 0666 & ~mask;
    }
    if (mode == BundleMode::Fresh) {
        oldSize = 0; // locked only, not kept
    }

    std::string temporary;
    const int fd = createTemporary(folderOf(target), nameOf(target), 0600, temporary);
    if (fd < 0) {
        error = systemError("cannot create a temporary file for", path);
        return Replacement::Failed;
    }
    const auto fail = [&](const std::string& message) {
        error = message;
        close(fd);
        unlink(temporary.c_str());
        clearPendingTemporary();
        return Replacement::Failed;
    };

    // Keep the old bytes outside the replaced slots.
    std::sort(replaced.begin(), replaced.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    std::int64_t at = 0;
    for (std::size_t i = 0; oldSize > 0 && i <= replaced.size(); ++i) {
        const std::int64_t stop = i < replaced.size() ? replaced[i].begin : oldSize;
        const Range keep{at, std::min(stop, oldSize)};
        if (keep.begin < keep.end) {
            if (!copyRange(old, fd, keep)) {
                return fail(systemError("cannot copy the old tracks of", path));
            }
            size = std::max(size, keep.end);
        }
        if (i < replaced.size()) {
            at = replaced[i].end;
        }
    }
    for (const TrackUpdate& u : updates) {
        const std::int64_t offset = TrackCatalogue[static_cast<std::size_t>(u.row)].streamOffset;
        if (!writeAll(fd, u.bytes.data(), u.bytes.size(), offset)) {
            return fail(systemError("cannot write", temporary));
        }
    }
    if (ftruncate(fd, size) != 0 || fchmod(fd, permissions) != 0 || fsync(fd) != 0) {
        return fail(systemError("cannot finish", temporary));
    }
    if (close(fd) != 0) {
        error = systemError("cannot finish", temporary);
        unlink(temporary.c_str());
        clearPendingTemporary();
        return Replacement::Failed;
    }
    int renameError = 0;
    if (old >= 0) {
        renameError = rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
    } else {
        // Nothing was locked: never replace a bundle another run created.
        renameError =
            renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0
                ? 0
                : errno;
        if (renameError == EINVAL || renameError == ENOSYS) {
            // A file system without that rename: a hard link fails the same way.
            renameError = link(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
            if (renameError == 0) {
                unlink(temporary.c_str());
            }
        }
    }
    if (renameError != 0) {
        unlink(temporary.c_str());
    }
    clearPendingTemporary();
    if (renameError == EEXIST && old < 0) {
        return Replacement::Raced;
    }
    if (renameError != 0) {
        errno = renameError;
        error = systemError("cannot replace", path);
        return Replacement::Failed;
    }
    return Replacement::Done;
}

} // namespace

std::int64_t rowCapacity(std::int32_t row) {
    if (row + 1 >= CatalogueRows) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return std::int64_t{TrackCatalogue[static_cast<std::size_t>(row) + 1].streamOffset} -
           TrackCatalogue[static_cast<std::size_t>(row)].streamOffset;
}

bool writeBundle(const std::string& path, std::span<const TrackUpdate> updates, BundleMode mode,
                 std::string& error, BundleWait wait) {
    std::vector<Range> replaced;
    std::int64_t size = 0;
    for (const TrackUpdate& u : updates) {
        if (u.row < 0 || u.row >= CatalogueRows) {
            error = "catalogue row " + std::to_string(u.row) + " does not exist";
            return false;
        }
        for (const TrackUpdate& other : updates) {
            if (&other != &u && other.row == u.row) {
                error = "catalogue row " + std::to_string(u.row) + " is given twice";
                return false;
            }
        }
        const std::int64_t bytes = static_cast<std::int64_t>(u.bytes.size());
        if (bytes > rowCapacity(u.row)) {
            error = "the track for catalogue row " + std::to_string(u.row) + " takes " +
                    std::to_string(bytes) + " bytes and would run into the next row, which " +
                    "leaves room for " + std::to_string(rowCapacity(u.row)) +
                    " bytes; shorten the audio";
            return false;
        }
        const Range slot = rowSlot(u.row);
        replaced.push_back(slot);
        size = std::max(size, slot.begin + bytes);
    }

    const std::string target = resolveLinks(path);
    removeStaleTemporariesOf(target);
    // A bundle that appears between our look and our rename is locked and
    // read in the next round, so that its tracks are kept.
    for (int round = 0; round < 100; ++round) {
        int old = -1;
        if (!lockBundle(path, target, wait, old, error)) {
            return false;
        }
        const Replacement done =
            replaceBundle(path, target, old, updates, mode, replaced, size, error);
        if (old >= 0) {
            close(old); // and with it the lock
        }
        if (done != Replacement::Raced) {
            return done == Replacement::Done;
        }
    }
    error = "cannot replace " + path + ": it keeps being created by others";
    return false;
}

bool readTrack(const std::string& path, std::int32_t row, std::vector<StoredBlock>& blocks,
               std::string& error) {
    if (row < 0 || row >= CatalogueRows) {
        error = "catalogue row " + std::to_string(row) + " does not exist";
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot open", path);
        return false;
    }
    const std::int64_t base = TrackCatalogue[static_cast<std::size_t>(row)].streamOffset;
    std::array<std::uint8_t, 16> header{};
    bool ok = readAll(fd, header.data(), header.size(), base);
    if (!ok || std::memcmp(header.data(), "COMP", 4) != 0) {
        error = "no track header at row " + std::to_string(row) + " of " + path;
        close(fd);
        return false;
    }
    const std::uint32_t count = bigEndian(&header[4]);
    if (count > 4096) {
        error = "the track at row " + std::to_string(row) + " claims " + std::to_string(count) +
                " blocks";
        close(fd);
        return false;
    }
    blocks.clear();
    for (std::uint32_t k = 0; ok && k < count; ++k) {
        std::array<std::uint8_t, 16> entry{};
        ok = readAll(fd, entry.data(), entry.size(), base + 16 + 16 * std::int64_t{k});
        StoredBlock block{bigEndian(&entry[0]), bigEndian(&entry[4]), bigEndian(&entry[8]), {}};
        block.bytes.resize(block.storedSize);
        ok = ok && readAll(fd, block.bytes.data(), block.bytes.size(), base + block.offset);
        blocks.push_back(std::move(block));
    }
    close(fd);
    if (!ok) {
        error = "the track at row " + std::to_string(row) + " of " + path + " is cut short";
    }
    return ok;
}

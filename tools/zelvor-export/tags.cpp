#include "tools/zelvor-export/tags.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/opusfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

namespace {

bool readWhole(int fd, TagLib::ByteVector& bytes, std::string& error) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        error = std::string("cannot read back for tagging: ") + std::strerror(errno);
        return false;
    }
    bytes.resize(static_cast<unsigned int>(status.st_size));
    off_t done = 0;
    while (done < status.st_size) {
        const ssize_t got =
            pread(fd, bytes.data() + done, static_cast<size_t>(status.st_size - done), done);
        if (got <= 0) {
            error = std::string("cannot read back for tagging: ") +
                    (got < 0 ? std::strerror(errno) : "file shrank");
            return false;
        }
        done += got;
    }
    return true;
}

bool writeWhole(int fd, const TagLib::ByteVector& bytes, std::string& error) {
    const auto size = static_cast<off_t>(bytes.size());
    off_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(fd, bytes.data() + done, static_cast<size_t>(size - done), done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = std::string("cannot write tags: ") + std::strerror(put < 0 ? errno : ENOSPC);
            return false;
        }
        done += put;
    }
    if (ftruncate(fd, size) != 0) {
        error = std::string("cannot write tags: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void addTotal(TagLib::Ogg::XiphComment* comment, std::int32_t total) {
    const TagLib::String text = TagLib::String::number(total);
    // Both names are in use; Picard writes both.
    comment->addField("TRACKTOTAL", text, true);
    comment->addField("TOTALTRACKS", text, true);
}

} // namespace

std::string trackNumberTag(AudioFormat format, std::int32_t number, std::int32_t total) {
    std::string text = std::to_string(number + 1);
    if (format == AudioFormat::Mp3) {
        text += "/" + std::to_string(total);
    }
    return text;
}

bool setFileTags(SNDFILE* file, AudioFormat format, std::int32_t number, std::int32_t total,
                 const char* title, std::string& error) {
    const std::string trackNumber = trackNumberTag(format, number, total);
    const struct {
        int type;
        const char* text;
    } strings[] = {{SF_STR_TITLE, title},
                   {SF_STR_ALBUM, AlbumTitle},
                   {SF_STR_TRACKNUMBER, trackNumber.c_str()},
                   {SF_STR_GENRE, AlbumGenre}};
    for (const auto& string : strings) {
        if (sf_set_string(file, string.type, string.text) != 0) {
            error = std::string("cannot set tags: ") + sf_strerror(file);
            return false;
        }
    }
    return true;
}

bool addTrackTotal(int fd, AudioFormat format, std::int32_t total, std::string& error) {
    if (format != AudioFormat::Flac && format != AudioFormat::Ogg && format != AudioFormat::Opus) {
        return true;
    }
    TagLib::ByteVector bytes;
    if (!readWhole(fd, bytes, error)) {
        return false;
    }
    TagLib::ByteVectorStream stream(bytes);
    bool saved = false;
    if (format == AudioFormat::Flac) {
        TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        if (file.isValid()) {
            addTotal(file.xiphComment(true), total);
            saved = file.save();
        }
    } else if (format == AudioFormat::Ogg) {
        TagLib::Ogg::Vorbis::File file(&stream, false);
        if (file.isValid()) {
            addTotal(file.tag(), total);
            saved = file.save();
        }
    } else {
        TagLib::Ogg::Opus::File file(&stream, false);
        if (file.isValid()) {
            addTotal(file.tag(), total);
            saved = file.save();
        }
    }
    if (!saved) {
        error = "TagLib could not add the track total";
        return false;
    }
    return writeWhole(fd, *stream.data(), error);
}

#include "update/zip_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gd {
namespace {

constexpr std::size_t kReadAhead = 64 * 1024;

ZipReader::Stream& streamOf(voidpf stream) {
    return *static_cast<ZipReader::Stream*>(stream);
}

// The "file name" minizip passes on is the stream itself.
voidpf ZCALLBACK openStream(voidpf, const void* name, int) {
    return const_cast<void*>(name);
}

uLong ZCALLBACK readStream(voidpf, voidpf stream, void* out, uLong size) {
    return static_cast<uLong>(streamOf(stream).read(static_cast<char*>(out), size));
}

uLong ZCALLBACK writeStream(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK tellStream(voidpf, voidpf stream) {
    return streamOf(stream).position;
}

long ZCALLBACK seekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    return streamOf(stream).seek(offset, origin) ? 0 : -1;
}

int ZCALLBACK closeStream(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK streamError(voidpf, voidpf stream) {
    return streamOf(stream).failed ? 1 : 0;
}

}  // namespace

std::size_t ZipReader::Stream::read(char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const bool buffered = position >= bufferStart && position < bufferStart + buffer.size();
        if (!buffered) {
            buffer.resize(kReadAhead);
            const ssize_t got =
                ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(position));
            if (got < 0 && errno == EINTR) continue;
            buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            bufferStart = position;
            failed = got < 0;
            if (got <= 0) break;
        }
        const std::size_t at = static_cast<std::size_t>(position - bufferStart);
        const std::size_t take = std::min(size - done, buffer.size() - at);
        std::memcpy(out + done, buffer.data() + at, take);
        done += take;
        position += take;
    }
    return done;
}

bool ZipReader::Stream::seek(std::uint64_t offset, int origin) {
    std::uint64_t base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
        base = position;
    } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) return false;
        base = static_cast<std::uint64_t>(info.st_size);
    } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
        return false;
    }
    position = base + offset;
    return true;
}

ZipReader::ZipReader(int fd) {
    stream_.fd = fd;
    zlib_filefunc64_def functions{};
    functions.zopen64_file = &openStream;
    functions.zread_file = &readStream;
    functions.zwrite_file = &writeStream;
    functions.ztell64_file = &tellStream;
    functions.zseek64_file = &seekStream;
    functions.zclose_file = &closeStream;
    functions.zerror_file = &streamError;
    if (fd >= 0) file_ = unzOpen2_64(&stream_, &functions);
}

ZipReader::~ZipReader() {
    if (file_ != nullptr) unzClose(file_);
}

}  // namespace gd

#include "publish/zip_writer.h"

#include "util/fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gd::publish {

namespace {

constexpr uLong kMadeOnUnix = (3u << 8) | 20u;  // host 3 (Unix), zip 2.0
constexpr uLong kUtf8NamesFlag = 1u << 11;
constexpr std::size_t kChunk = 1 << 20;

zip_fileinfo entryInfo(mode_t mode, std::time_t modified) {
    zip_fileinfo info{};
    std::tm local{};
    ::localtime_r(&modified, &local);
    info.tmz_date = {static_cast<uInt>(local.tm_sec),  static_cast<uInt>(local.tm_min),
                     static_cast<uInt>(local.tm_hour), static_cast<uInt>(local.tm_mday),
                     static_cast<uInt>(local.tm_mon),  static_cast<uInt>(local.tm_year + 1900)};
    info.external_fa = static_cast<uLong>(S_IFREG | (mode & 0777)) << 16;
    return info;
}

// minizip's file functions over a descriptor: it writes front to back and
// goes back only to complete the local headers.
using Stream = ZipWriter::Stream;

Stream& streamOf(voidpf stream) {
    return *static_cast<Stream*>(stream);
}

voidpf openStream(voidpf opaque, const void* /*name*/, int /*mode*/) {
    return opaque;
}

uLong readStream(voidpf, voidpf stream, void* buffer, uLong size) {
    const ssize_t got = ::read(streamOf(stream).fd, buffer, size);
    if (got < 0) streamOf(stream).failed = true;
    return got < 0 ? 0 : static_cast<uLong>(got);
}

uLong writeStream(voidpf, voidpf stream, const void* buffer, uLong size) {
    if (gd::writeAll(streamOf(stream).fd, static_cast<const char*>(buffer), size)) return size;
    streamOf(stream).failed = true;
    return 0;
}

ZPOS64_T tellStream(voidpf, voidpf stream) {
    const off_t at = ::lseek(streamOf(stream).fd, 0, SEEK_CUR);
    return at < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(at);
}

long seekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    const int whence = origin == ZLIB_FILEFUNC_SEEK_SET   ? SEEK_SET
                       : origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR
                                                          : SEEK_END;
    return ::lseek(streamOf(stream).fd, static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

int closeStream(voidpf, voidpf) {
    return 0;  // the descriptor is not minizip's to close
}

int streamError(voidpf, voidpf stream) {
    return streamOf(stream).failed ? 1 : 0;
}

}  // namespace

ZipWriter::ZipWriter(const std::filesystem::path& path)
    : owned_(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
    stream_.fd = owned_.get();
    if (owned_) open();
}

ZipWriter::ZipWriter(int fd) {
    stream_.fd = fd;
    open();
}

void ZipWriter::open() {
    zlib_filefunc64_def functions{openStream, readStream,  writeStream, tellStream,
                                  seekStream, closeStream, streamError, &stream_};
    zip_ = zipOpen2_64(&stream_, APPEND_STATUS_CREATE, nullptr, &functions);
}

ZipWriter::~ZipWriter() {
    if (zip_ != nullptr) zipClose(zip_, nullptr);
}

bool ZipWriter::add(const std::string& name, mode_t mode, std::time_t modified, std::uint64_t size,
                    const Reader& read, bool stored) {
    const zip_fileinfo info = entryInfo(mode, modified);
    const int zip64 = size >= 0xffffffffull ? 1 : 0;
    if (zipOpenNewFileInZip4_64(zip_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                stored ? 0 : Z_DEFLATED, stored ? 0 : Z_DEFAULT_COMPRESSION, 0,
                                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                kMadeOnUnix, kUtf8NamesFlag, zip64) != ZIP_OK)
        return false;
    bool ok = true;
    buffer_.resize(kChunk);
    while (ok) {
        const std::size_t got = read(buffer_.data(), buffer_.size());
        if (got == 0) break;
        ok = zipWriteInFileInZip(zip_, buffer_.data(), static_cast<unsigned>(got)) == ZIP_OK;
    }
    return zipCloseFileInZip(zip_) == ZIP_OK && ok;
}

bool ZipWriter::addFile(const std::string& name, const std::filesystem::path& file, bool stored,
                        std::optional<std::time_t> modified) {
    const gd::UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!in || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    bool readFailed = false;
    std::uint64_t total = 0;
    const bool added = add(
        name, info.st_mode, modified.value_or(info.st_mtime),
        static_cast<std::uint64_t>(info.st_size),
        [&](char* buffer, std::size_t size) -> std::size_t {
            for (;;) {
                const ssize_t got = ::read(in.get(), buffer, size);
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) readFailed = true;
                if (got <= 0) return 0;
                total += static_cast<std::uint64_t>(got);
                return static_cast<std::size_t>(got);
            }
        },
        stored);
    // A file that changed size while it was read would be stored half old.
    return added && !readFailed && total == static_cast<std::uint64_t>(info.st_size);
}

bool ZipWriter::addBytes(const std::string& name, const std::string& bytes) {
    std::size_t offset = 0;
    return add(name, 0644, std::time(nullptr), bytes.size(), [&](char* buffer, std::size_t size) {
        const std::size_t count = std::min(size, bytes.size() - offset);
        std::copy_n(bytes.data() + offset, count, buffer);
        offset += count;
        return count;
    });
}

bool ZipWriter::close() {
    const int result = zipClose(zip_, nullptr);
    zip_ = nullptr;
    return result == ZIP_OK && !stream_.failed && (!owned_ || owned_.close());
}

}  // namespace gd::publish

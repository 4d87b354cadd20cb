#include "fetch/file_download_sink.h"

#include "util/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace gd {
namespace {

int createAnew(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace

FileDownloadSink::FileDownloadSink(const std::filesystem::path& path) : fd_(createAnew(path)) {}

bool FileDownloadSink::accept(std::span<const char> bytes) {
    if (!fd_ || !writeAll(fd_.get(), bytes.data(), bytes.size())) return false;
    received_ += bytes.size();
    return true;
}

bool FileDownloadSink::close() {
    return fd_ && fd_.close();
}

}  // namespace gd

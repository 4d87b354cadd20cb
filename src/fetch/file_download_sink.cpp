#include "fetch/file_download_sink.h"

#include "util/fd_io.h"

#include <fcntl.h>

namespace gd {

FileDownloadSink::FileDownloadSink(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {}

bool FileDownloadSink::accept(std::span<const char> bytes) {
    if (!fd_ || !writeAll(fd_.get(), bytes.data(), bytes.size())) return false;
    received_ += bytes.size();
    return true;
}

bool FileDownloadSink::close() {
    return fd_ && fd_.close();
}

}  // namespace gd

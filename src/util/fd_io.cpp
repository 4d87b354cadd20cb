#include "util/fd_io.h"

#include "util/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace gd {

namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;

}  // namespace

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool readAllAt(int fd, char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

CopyResult copyContents(int from, int to) {
    char buffer[kCopyChunk];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return CopyResult::ReadFailed;
        if (got == 0) return CopyResult::Done;
        if (!writeAll(to, buffer, static_cast<std::size_t>(got))) return CopyResult::WriteFailed;
    }
}

bool syncDirectory(int directoryFd) {
    return ::fsync(directoryFd) == 0;
}

bool syncDirectory(const std::filesystem::path& directory) {
    const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && syncDirectory(fd.get());
}

}  // namespace gd

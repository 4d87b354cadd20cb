#include "util/disk_room.h"

#include <sys/statvfs.h>

namespace gd {

namespace {

std::uint64_t beyondReserve(const struct statvfs& space) {
    const std::uint64_t free = std::uint64_t{space.f_bavail} * space.f_frsize;
    return free > kDiskReserve ? free - kDiskReserve : 0;
}

}  // namespace

std::uint64_t roomBeyondReserve(const std::filesystem::path& folder) {
    struct statvfs space {};
    return ::statvfs(folder.c_str(), &space) == 0 ? beyondReserve(space) : 0;
}

std::uint64_t roomBeyondReserve(int fd) {
    struct statvfs space {};
    return ::fstatvfs(fd, &space) == 0 ? beyondReserve(space) : 0;
}

}  // namespace gd

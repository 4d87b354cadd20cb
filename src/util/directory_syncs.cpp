#include "util/directory_syncs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace gd {

void DirectorySyncs::add(int directoryFd) {
    struct stat info {};
    if (::fstat(directoryFd, &info) != 0) {
        ::fsync(directoryFd);  // unknown: synced at once rather than never
        return;
    }
    const std::pair key{info.st_dev, info.st_ino};
    if (std::find(seen_.begin(), seen_.end(), key) != seen_.end()) return;
    UniqueFd copy(::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        ::fsync(directoryFd);
        return;
    }
    seen_.push_back(key);
    directories_.push_back(std::move(copy));
}

bool DirectorySyncs::flush() {
    bool ok = true;
    for (const UniqueFd& directory : directories_) ok = ::fsync(directory.get()) == 0 && ok;
    directories_.clear();
    seen_.clear();
    return ok;
}

}  // namespace gd

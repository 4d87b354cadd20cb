#include "util/tree_removal.h"

#include "util/directory_listing.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace gd {

bool removeTreeAt(int directoryFd, const std::string& name, std::stop_token stop) {
    if (stop.stop_requested()) return false;
    struct stat info {};
    if (::fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(directoryFd, name.c_str(), 0) == 0 || errno == ENOENT;
    const UniqueFd inner(
        ::openat(directoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner || !removeTreeContents(inner.get(), stop)) return false;
    return ::unlinkat(directoryFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool removeTreeContents(int directoryFd, std::stop_token stop) {
    const auto names = entryNames(directoryFd);
    if (!names) return false;
    for (const std::string& name : *names) {
        if (!removeTreeAt(directoryFd, name, stop)) return false;
    }
    return true;
}

}  // namespace gd

#include "util/tree_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

namespace gd {

namespace {

// O_DIRECTORY answers a link with ENOTDIR, like a plain file; a link is told
// apart so that callers can treat "no such directory" and "a link in the way"
// differently.
UniqueFd openSubdirectory(int parent, const std::string& name) {
    UniqueFd directory(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory && (errno == ENOTDIR || errno == ELOOP)) {
        struct stat info {};
        const bool link = ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISLNK(info.st_mode);
        errno = link ? ELOOP : ENOTDIR;
    }
    return directory;
}

}  // namespace

std::optional<TreeLocation> locateInTree(const TreePath& path) {
    TreeLocation location{UniqueFd(::open(path.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                          "."};
    if (!location.directory) return std::nullopt;
    std::string_view rest = path.relative;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos) {
            location.name = std::string(rest);
            break;
        }
        location.directory =
            openSubdirectory(location.directory.get(), std::string(rest.substr(0, slash)));
        if (!location.directory) return std::nullopt;
        rest.remove_prefix(slash + 1);
    }
    return location;
}

}  // namespace gd

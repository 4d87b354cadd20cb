#include "util/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace gd {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::optional<std::vector<std::string>> entryNames(int directoryFd) {
    // A descriptor of its own: closedir closes it, and leaves the caller's.
    const int listing = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return std::nullopt;
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing));
    if (!dir) {
        ::close(listing);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return names;
}

}  // namespace gd

#include "update/run_directory.h"

#include "util/directory_listing.h"
#include "util/tree_removal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>

namespace gd {
namespace {

constexpr const char* kRunPrefix = "groovedeck-update-";
constexpr int kMakeAttempts = 8;

// Opens and locks a directory just made at `path`. A sweep by another
// process may take it for a stale one before the lock is had: it is then
// gone (no links left) once the lock is ours, and the caller makes another.
UniqueFd lockNewDirectory(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::flock(fd.get(), LOCK_EX) != 0 || ::fstat(fd.get(), &info) != 0 ||
        info.st_nlink == 0)
        return {};
    return fd;
}

// Removes the run directory `name` under the temporary directory when it is
// this user's and no run holds it; it stays locked while it goes.
void removeIfStale(int tempFd, const std::string& name, std::stop_token stop) {
    const UniqueFd dir(
        ::openat(tempFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!dir || ::fstat(dir.get(), &info) != 0 || info.st_uid != ::geteuid()) return;
    if (::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) return;  // a live run's
    // The contents through the descriptor that was judged; the name last,
    // which fails harmlessly should it no longer be this directory.
    if (removeTreeContents(dir.get(), stop)) ::unlinkat(tempFd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

RunDirectory::RunDirectory() {
    std::error_code error;
    const auto temp = std::filesystem::temp_directory_path(error);
    if (error) return;
    for (int attempt = 0; attempt < kMakeAttempts; ++attempt) {
        std::string pattern = (temp / (std::string(kRunPrefix) + "XXXXXX")).string();
        // mkdtemp makes the directory with mode 0700 and a name nobody can guess.
        if (::mkdtemp(pattern.data()) == nullptr) return;
        if (UniqueFd lock = lockNewDirectory(pattern)) {
            path_ = pattern;
            lock_ = std::move(lock);
            return;
        }
        ::rmdir(pattern.c_str());
    }
}

RunDirectory::~RunDirectory() {
    if (path_.empty()) return;
    // Still locked, so that no sweep takes it for a stale one meanwhile.
    if (removeTreeContents(lock_.get())) ::rmdir(path_.c_str());
}

void removeStaleRunDirectories(std::stop_token stop) {
    std::error_code error;
    const auto temp = std::filesystem::temp_directory_path(error);
    if (error) return;
    const UniqueFd tempFd(::open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto names = tempFd ? entryNames(tempFd.get()) : std::nullopt;
    if (!names) return;
    for (const std::string& name : *names) {
        if (stop.stop_requested()) return;
        if (name.starts_with(kRunPrefix)) removeIfStale(tempFd.get(), name, stop);
    }
}

}  // namespace gd

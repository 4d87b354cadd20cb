#include "util/replace_file.h"

#include "util/fd_io.h"
#include "util/safe_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace gd {

namespace {

// A sibling name that no other writer in this process or another one uses.
std::string siblingName(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    return "." + target + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) +
           ".tmp";
}

// ".<target name>.<pid>.<n>.tmp" of a writer that no longer runs: left when
// a process was killed between naming its new file and renaming it over the
// target. A pid that is alive again (reused) keeps its file: it may be real.
bool isStaleSibling(const std::string& name, const std::string& prefix) {
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) return false;
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    const auto dot = middle.find('.');
    if (dot == std::string::npos || dot == 0) return false;
    const std::string pidText = middle.substr(0, dot);
    if (pidText.find_first_not_of("0123456789") != std::string::npos) return false;
    const long pid = std::strtol(pidText.c_str(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Each replacement of a target sweeps what an earlier, killed replacement of
// the same target left beside it; a restarted update replaces the same
// targets again, so nothing stays behind for good.
void removeStaleSiblings(int directoryFd, const std::string& target) {
    const std::string prefix = "." + target + ".";
    const int listing = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing));
    if (!dir) {
        ::close(listing);
        return;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (isStaleSibling(name, prefix) &&
            ::fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode))
            ::unlinkat(directoryFd, name.c_str(), 0);
    }
}

constexpr int kNameAttempts = 16;
constexpr const char* kOwnDescriptors = "/proc/self/fd";

}  // namespace

FileReplacement::FileReplacement(const std::filesystem::path& target, mode_t mode)
    : directory_(::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      target_(target.filename().string()) {
    open(mode);
}

FileReplacement::FileReplacement(int directoryFd, std::string name, mode_t mode)
    : directory_(::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0)), target_(std::move(name)) {
    open(mode);
}

void FileReplacement::open(mode_t mode) {
    if (!directory_ || target_.empty()) return;
    const int dir = directory_.get();
    removeStaleSiblings(dir, target_);
    // An unnamed file is named through /proc, so both must be there.
    if (::access(kOwnDescriptors, F_OK) == 0)
        fd_.reset(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd_) return;
    // Otherwise a named sibling, made exclusively.
    for (int attempt = 0; attempt < kNameAttempts && !fd_; ++attempt) {
        sibling_ = siblingName(target_);
        fd_.reset(::openat(dir, sibling_.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd_ && errno != EEXIST) break;
    }
    if (!fd_) sibling_.clear();
}

FileReplacement::~FileReplacement() {
    fd_.reset();
    if (!sibling_.empty()) ::unlinkat(directory_.get(), sibling_.c_str(), 0);
}

// Links the unnamed file into the directory under a fresh sibling name.
bool FileReplacement::giveName() {
    if (!sibling_.empty()) return true;
    const std::string self = std::string(kOwnDescriptors) + "/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = siblingName(target_);
        if (::linkat(AT_FDCWD, self.c_str(), directory_.get(), name.c_str(), AT_SYMLINK_FOLLOW) ==
            0) {
            sibling_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool FileReplacement::commit() {
    if (!fd_) return false;
    bool ok = ::fsync(fd_.get()) == 0 && giveName();
    ok = fd_.close() && ok;
    ok = ok &&
         ::renameat(directory_.get(), sibling_.c_str(), directory_.get(), target_.c_str()) == 0;
    if (!ok) return false;  // the destructor removes a named file
    sibling_.clear();
    syncDirectory(directory_.get());
    return true;
}

}  // namespace gd

#include "util/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace gd {

namespace {

// A sibling name that no other writer in this process or another one uses.
std::string siblingName(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    const std::string name = "." + target.filename().string() + "." + std::to_string(::getpid()) +
                             "." + std::to_string(counter++) + ".tmp";
    return (target.parent_path() / name).string();
}

std::string directoryOf(const std::filesystem::path& target) {
    const std::string parent = target.parent_path().string();
    return parent.empty() ? "." : parent;
}

void syncDirectory(const std::string& directory) {
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get());
}

constexpr int kNameAttempts = 16;
constexpr const char* kOwnDescriptors = "/proc/self/fd";

}  // namespace

FileReplacement::FileReplacement(const std::filesystem::path& target, mode_t mode)
    : target_(target) {
    // An unnamed file is named through /proc, so both must be there.
    if (::access(kOwnDescriptors, F_OK) == 0)
        fd_.reset(::open(directoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd_) return;
    // Otherwise a named sibling, made exclusively.
    for (int attempt = 0; attempt < kNameAttempts && !fd_; ++attempt) {
        name_ = siblingName(target);
        fd_.reset(::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!fd_ && errno != EEXIST) break;
    }
    if (!fd_) name_.clear();
}

FileReplacement::~FileReplacement() {
    fd_.reset();
    if (!name_.empty()) ::unlink(name_.c_str());
}

// Links the unnamed file into the directory under a fresh sibling name.
bool FileReplacement::giveName() {
    if (!name_.empty()) return true;
    const std::string self = std::string(kOwnDescriptors) + "/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = siblingName(target_);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            name_ = std::move(name);
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
    ok = ok && ::rename(name_.c_str(), target_.c_str()) == 0;
    if (!ok) return false;  // the destructor removes a named file
    name_.clear();
    syncDirectory(directoryOf(target_));
    return true;
}

}  // namespace gd

#include "util/replace_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

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

// Each replacement of a target sweeps what an earlier, killed replacement of
// the same target left beside it; a restarted update replaces the same
// targets again, so nothing stays behind for good.
void removeStaleSiblings(const std::filesystem::path& target) {
    const std::string prefix = "." + target.filename().string() + ".";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directoryOf(target), error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(error) && !entry.is_symlink(error) &&
            isStaleSibling(name, prefix))
            std::filesystem::remove(entry.path(), error);
    }
}

constexpr int kNameAttempts = 16;
constexpr const char* kOwnDescriptors = "/proc/self/fd";

}  // namespace

FileReplacement::FileReplacement(const std::filesystem::path& target, mode_t mode)
    : target_(target) {
    removeStaleSiblings(target);
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

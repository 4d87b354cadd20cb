#include "install/instance_lock.h"

#include "util/user_dirs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

namespace gd {
namespace {

namespace fs = std::filesystem;

constexpr auto kPollInterval = std::chrono::milliseconds(50);

// Only the user may create files in a directory that holds the lock, or
// another user could plant or remove it.
bool isOwnUnsharedDirectory(const struct stat& info) {
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 022) == 0;
}

bool isUsableRuntimeDir(const fs::path& dir) {
    struct stat info {};
    return !dir.empty() && ::stat(dir.c_str(), &info) == 0 && isOwnUnsharedDirectory(info);
}

// Without a runtime directory: a folder of our own under the home directory,
// never a name in the shared temporary directory that another user could
// make first. It counts only when it is ours, no link, and closed to others.
std::optional<fs::path> homeRuntimeDir() {
    const auto home = homeDir();
    if (!home) return std::nullopt;
    const fs::path cache = *home / ".cache";
    const fs::path dir = cache / "groovedeck";
    for (const fs::path& step : {cache, dir})
        if (::mkdir(step.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0) return std::nullopt;
    if (!isOwnUnsharedDirectory(info) || (info.st_mode & 077) != 0) return std::nullopt;
    return dir;
}

std::optional<fs::path> runtimeDir() {
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && isUsableRuntimeDir(xdg))
        return fs::path(xdg);
    const fs::path perUser = fs::path("/run/user") / std::to_string(::geteuid());
    if (isUsableRuntimeDir(perUser)) return perUser;
    return homeRuntimeDir();
}

// true: locked; false: held by another open file description (or error).
bool tryLock(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

std::optional<fs::path> InstanceLock::lockFilePath() {
    const auto dir = runtimeDir();
    if (!dir) return std::nullopt;
    return *dir / kInstanceLockName;
}

std::optional<InstanceLock> InstanceLock::tryAcquire() {
    return acquireWithin(std::chrono::milliseconds::zero());
}

std::optional<InstanceLock> InstanceLock::acquireWithin(std::chrono::milliseconds timeout) {
    const auto path = lockFilePath();
    if (!path) return std::nullopt;
    // The file stays in place when the lock is released: removing it would
    // let two processes lock two different files of the same name.
    UniqueFd fd(::open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!tryLock(fd.get())) {
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(kPollInterval);
    }
    return InstanceLock(std::move(fd));
}

}  // namespace gd

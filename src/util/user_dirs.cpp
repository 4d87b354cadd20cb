#include "util/user_dirs.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <string>

namespace gd {

std::optional<std::filesystem::path> homeDir() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return std::nullopt;
    return std::filesystem::path(found->pw_dir);
}

std::optional<std::filesystem::path> xdgBaseDir(const char* variable, const char* fallback) {
    // Relative values are ignored, as the XDG base directory rules ask.
    if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/')
        return value;
    const auto home = homeDir();
    if (!home) return std::nullopt;
    return *home / fallback;
}

std::optional<UniqueFd> openUserCacheFolder() {
    const auto base = xdgBaseDir("XDG_CACHE_HOME", ".cache");
    if (!base) return std::nullopt;
    const std::filesystem::path folder = *base / "groovedeck";
    ::mkdir(base->c_str(), 0700);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid()) return std::nullopt;
    // Ours and no link: closed to others should anyone have opened it.
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) return std::nullopt;
    return fd;
}

}  // namespace gd

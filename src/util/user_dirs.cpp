#include "util/user_dirs.h"

#include <pwd.h>
#include <unistd.h>

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

}  // namespace gd

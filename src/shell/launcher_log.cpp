#include "shell/launcher_log.h"

#include "util/fd_io.h"
#include "util/user_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

namespace gd {

namespace {

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void rotate(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || static_cast<std::size_t>(info.st_size) < kLogRotateSize)
        return;
    std::filesystem::path older = path;
    older += ".1";
    ::rename(path.c_str(), older.c_str());
}

}  // namespace

LauncherLog::LauncherLog(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    ::chmod(path.parent_path().c_str(), 0700);
    rotate(path);
    fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

std::optional<std::filesystem::path> LauncherLog::defaultPath() {
    const auto state = xdgBaseDir("XDG_STATE_HOME", ".local/state");
    if (!state) return std::nullopt;
    return *state / "groovedeck" / "launcher.log";
}

void LauncherLog::write(std::string_view line) {
    std::string entry = timestamp() + " ";
    for (const char c : line) {
        if (c == '\n') {
            // A box's blank line between text and reason says nothing here.
            if (!entry.ends_with(" | ")) entry += " | ";
        } else {
            entry += c;
        }
    }
    for (;;) {
        if (entry.ends_with(" | ")) {
            entry.resize(entry.size() - 3);
        } else if (entry.ends_with(' ')) {
            entry.pop_back();
        } else {
            break;
        }
    }
    entry += '\n';
    std::lock_guard lock(mutex_);
    if (fd_) writeAll(fd_.get(), entry.data(), entry.size());
}

}  // namespace gd

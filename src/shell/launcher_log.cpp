#include "shell/launcher_log.h"

#include "util/fd_io.h"
#include "util/text_escape.h"
#include "util/user_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The log's folder, when it is a folder of the user's own (closed to
// others), never through a link at its own name.
UniqueFd openOwnFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid()) return {};
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) return {};
    return fd;
}

// A name in the folder that is the user's own plain file: no link, FIFO or
// device (which could block the launcher or write elsewhere), and no second
// name of another file.
bool isOwnPlainFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

void rotate(int folder, const std::string& name) {
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        static_cast<std::size_t>(info.st_size) < kLogRotateSize)
        return;
    ::renameat(folder, name.c_str(), folder, (name + ".1").c_str());
}

}  // namespace

LauncherLog::LauncherLog(const std::filesystem::path& path) {
    const UniqueFd folder = openOwnFolder(path.parent_path());
    if (!folder) return;
    const std::string name = path.filename().string();
    rotate(folder.get(), name);
    // Non-blocking, so that a FIFO put there cannot hold the launcher up.
    UniqueFd file(::openat(folder.get(), name.c_str(),
                           O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                           0600));
    struct stat info {};
    if (file && ::fstat(file.get(), &info) == 0 && isOwnPlainFile(info)) fd_ = std::move(file);
}

std::optional<std::filesystem::path> LauncherLog::defaultPath() {
    const auto state = xdgBaseDir("XDG_STATE_HOME", ".local/state");
    if (!state) return std::nullopt;
    return *state / "groovedeck" / "launcher.log";
}

void LauncherLog::write(std::string_view line) {
    std::string entry = timestamp() + " ";
    while (!line.empty()) {
        const auto end = line.find('\n');
        // Every other control character is escaped, so that no line of the
        // log can be forged or steer the terminal that shows it.
        entry += escapeControls(line.substr(0, end));
        if (end == std::string_view::npos) break;
        // A box's blank line between text and reason says nothing here.
        if (!entry.ends_with(" | ")) entry += " | ";
        line.remove_prefix(end + 1);
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

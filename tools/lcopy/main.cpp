// lcopy: replaces the launcher after a self-update, once the launcher has
// ended, and starts the new one. It runs without a window; a failure leaves
// the old launcher in place and is one line on stderr.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "install/instance_lock.h"
#include "util/process.h"
#include "util/unique_fd.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitSourceUnreadable = 3;
constexpr int kExitStillRunning = 4;
constexpr int kExitReplaceFailed = 5;
constexpr int kExitStartFailed = 6;

constexpr int kDefaultWaitSeconds = 60;
constexpr int kMaxWaitSeconds = 3600;

constexpr std::string_view kUsage =
    "usage: lcopy NEW_LAUNCHER CURRENT_LAUNCHER\n"
    "Waits until the running launcher has released its single-instance lock,\n"
    "replaces CURRENT_LAUNCHER with a copy of NEW_LAUNCHER in one rename (keeping\n"
    "its permissions and the owner's execute bit), removes NEW_LAUNCHER when it\n"
    "lies in the same directory, then starts the new launcher detached.\n"
    "The wait is bounded by LCOPY_WAIT_SECONDS (0-3600, default 60).\n"
    "Exit codes, each failure leaving the old launcher in place:\n"
    "  0  replaced and started\n"
    "  2  bad arguments (count, CURRENT_LAUNCHER missing, both the same file)\n"
    "  3  NEW_LAUNCHER missing, empty, not a regular file or unreadable\n"
    "  4  the launcher did not release its lock in time (or no private runtime\n"
    "     directory for the lock exists)\n"
    "  5  the copy or the rename failed\n"
    "  6  the new launcher could not be started; the old one is put back and\n"
    "     started instead\n";

int fail(int code, const std::string& message) {
    std::cerr << "lcopy: " << message << '\n';
    return code;
}

std::string describe(const std::string& what, const fs::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

std::chrono::seconds waitBound() {
    const char* text = std::getenv("LCOPY_WAIT_SECONDS");
    if (text == nullptr) return std::chrono::seconds(kDefaultWaitSeconds);
    const std::string_view value(text);
    int seconds = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error != std::errc() || end != value.data() + value.size() || seconds < 0 ||
        seconds > kMaxWaitSeconds)
        return std::chrono::seconds(kDefaultWaitSeconds);
    return std::chrono::seconds(seconds);
}

// A file under a temporary name, removed again unless it was renamed away.
class TempFile {
  public:
    TempFile() = default;
    explicit TempFile(fs::path path) : path_(std::move(path)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    TempFile(TempFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    const fs::path& path() const { return path_; }
    void release() { path_.clear(); }

  private:
    fs::path path_;
};

enum class CopyResult { ok, readFailed, writeFailed };

CopyResult copyContents(int from, int to) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return CopyResult::readFailed;
        if (got == 0) return CopyResult::ok;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer.data() + done, got - done);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return CopyResult::writeFailed;
            done += put;
        }
    }
}

fs::path directoryOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

bool syncDirectory(const fs::path& dir) {
    const gd::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

struct Paths {
    fs::path source;  // the new launcher
    fs::path target;  // the launcher to replace
    fs::path dir;     // the target's directory, where every temporary name lives
};

// A new file beside the target holding what `from` holds, with `mode`, on
// disk. Sets `code` and returns an empty TempFile on failure.
TempFile writeBeside(const Paths& paths, int from, mode_t mode, const std::string& tag, int& code) {
    std::string pattern = (paths.dir / ("." + paths.target.filename().string() + tag)).string();
    const gd::UniqueFd out(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!out) {
        code = fail(kExitReplaceFailed, describe("cannot create a file in", paths.dir));
        return {};
    }
    TempFile file{fs::path(pattern)};
    const CopyResult copied = copyContents(from, out.get());
    if (copied == CopyResult::readFailed) {
        code = fail(kExitSourceUnreadable, describe("cannot read", paths.source));
        return {};
    }
    if (copied == CopyResult::writeFailed || ::fchmod(out.get(), mode) != 0 ||
        ::fsync(out.get()) != 0) {
        code = fail(kExitReplaceFailed, describe("cannot write", file.path()));
        return {};
    }
    return file;
}

// A second name for the old launcher, so it can be put back when the new
// one does not start. A hard link costs nothing; a copy serves where the
// file system has none.
TempFile keepOldLauncher(const Paths& paths, mode_t mode, int& code) {
    const fs::path link = paths.dir / ("." + paths.target.filename().string() + ".lcopy-old-" +
                                       std::to_string(::getpid()));
    ::unlink(link.c_str());
    if (::link(paths.target.c_str(), link.c_str()) == 0) return TempFile(link);
    const gd::UniqueFd old(::open(paths.target.c_str(), O_RDONLY | O_CLOEXEC));
    if (!old) {
        code = fail(kExitReplaceFailed, describe("cannot read", paths.target));
        return {};
    }
    return writeBeside(paths, old.get(), mode, ".lcopy-old-XXXXXX", code);
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool inSameDirectory(const Paths& paths) {
    struct stat a {};
    struct stat b {};
    return ::stat(directoryOf(paths.source).c_str(), &a) == 0 &&
           ::stat(paths.dir.c_str(), &b) == 0 && sameFile(a, b);
}

// Puts the old launcher back after the new one failed to start, and starts
// it so that the user still gets a launcher.
int restoreOldLauncher(const Paths& paths, TempFile& old, int startError) {
    const std::string why = std::strerror(startError);
    if (::rename(old.path().c_str(), paths.target.c_str()) != 0)
        return fail(kExitStartFailed, "cannot start " + paths.target.string() + ": " + why +
                                          "; the old launcher stays at " + old.path().string());
    old.release();
    syncDirectory(paths.dir);
    gd::startDetached(paths.target.string(), {paths.target.string()});
    return fail(kExitStartFailed, "cannot start the new launcher " + paths.target.string() + ": " +
                                      why + "; the old launcher was put back");
}

int replaceAndStart(const Paths& paths, int source) {
    struct stat current {};
    if (::stat(paths.target.c_str(), &current) != 0)
        return fail(kExitUsage, describe("no launcher at", paths.target));
    struct stat incoming {};
    if (::fstat(source, &incoming) == 0 && sameFile(current, incoming))
        return fail(kExitUsage, "the new and the current launcher are the same file");
    const mode_t mode = (current.st_mode & 0777) | S_IXUSR;

    if (!gd::InstanceLock::lockFilePath())
        return fail(kExitStillRunning, "no private runtime directory holds the launcher's lock");
    auto lock = gd::InstanceLock::acquireWithin(waitBound());
    if (!lock) return fail(kExitStillRunning, "the launcher did not end in time");

    int code = kExitOk;
    TempFile replacement = writeBeside(paths, source, mode, ".lcopy-XXXXXX", code);
    if (code != kExitOk) return code;
    TempFile old = keepOldLauncher(paths, mode, code);
    if (code != kExitOk) return code;
    if (::rename(replacement.path().c_str(), paths.target.c_str()) != 0)
        return fail(kExitReplaceFailed, describe("cannot rename over", paths.target));
    replacement.release();
    // A staged launcher still there when the new launcher starts would be
    // taken for a replacement yet to finish. Should the new one not start,
    // the old one comes back without it: trying again could only fail again.
    if (inSameDirectory(paths)) ::unlink(paths.source.c_str());
    syncDirectory(paths.dir);

    // The new launcher takes the lock itself; held any longer it would end
    // at once as a second instance.
    lock.reset();
    if (!gd::startDetached(paths.target.string(), {paths.target.string()}))
        return restoreOldLauncher(paths, old, errno);
    return kExitOk;
}

int run(const Paths& paths) {
    const gd::UniqueFd source(::open(paths.source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!source) return fail(kExitSourceUnreadable, describe("cannot open", paths.source));
    struct stat info {};
    if (::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return fail(kExitSourceUnreadable,
                    "not a launcher (no regular file, or empty): " + paths.source.string());
    return replaceAndStart(paths, source.get());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << kUsage;
        return kExitOk;
    }
    if (argc != 3 || argv[1][0] == '\0' || argv[2][0] == '\0')
        return fail(kExitUsage, "expected NEW_LAUNCHER CURRENT_LAUNCHER (see lcopy --help)");
    const fs::path target(argv[2]);
    return run({fs::path(argv[1]), target, directoryOf(target)});
}

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

#include "install/instance_lock.h"
#include "util/fd_io.h"
#include "util/process.h"
#include "util/replace_file.h"
#include "util/safe_path.h"
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
    "usage: lcopy [--no-start] NEW_LAUNCHER CURRENT_LAUNCHER\n"
    "Waits until the running launcher has released its single-instance lock,\n"
    "replaces CURRENT_LAUNCHER with a copy of NEW_LAUNCHER in one rename (keeping\n"
    "its permissions and the owner's execute bit), removes NEW_LAUNCHER when it\n"
    "lies in the same directory, then starts the new launcher detached; with\n"
    "--no-start it ends there (for a machine without a display, where\n"
    "gdtool update --replace-launcher runs it).\n"
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

// What a step that failed tells the user: the exit code and one line.
struct Failure {
    int code;
    std::string message;
};

// A step's value, or why there is none.
template <typename T>
struct Result {
    Result(T made) : value(std::move(made)) {}
    Result(Failure failed) : failure(std::move(failed)) {}
    std::optional<T> value;
    Failure failure{kExitOk, {}};
};

int report(const Failure& failure) {
    return fail(failure.code, failure.message);
}

std::string describe(const std::string& what, const fs::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

// A file under a temporary name, removed again unless it was renamed away.
class TempFile {
  public:
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

struct Paths {
    fs::path source;    // the new launcher
    fs::path target;    // the launcher to replace
    fs::path dir;       // the target's directory, where every temporary name lives
    bool start = true;  // start the new launcher once it is in place
};

// Copies `from` into the open file `to` and gives it `mode`. Syncing it is
// the caller's: the new launcher's data are synced once, by the commit that
// names it, so that the durability check by system-call order sees that one
// sync go missing.
std::optional<Failure> fillFile(const Paths& paths, int from, int to, mode_t mode) {
    const gd::CopyResult copied = gd::copyContents(from, to);
    if (copied == gd::CopyResult::ReadFailed)
        return Failure{kExitSourceUnreadable, describe("cannot read", paths.source)};
    // The mode is the old launcher's, whatever this process's umask.
    if (copied == gd::CopyResult::WriteFailed || ::fchmod(to, mode) != 0)
        return Failure{kExitReplaceFailed, describe("cannot write in", paths.dir)};
    return std::nullopt;
}

// A second name for the old launcher, so it can be put back when the new
// one does not start. A hard link costs nothing; a copy serves where the
// file system has none.
Result<TempFile> keepOldLauncher(const Paths& paths, mode_t mode) {
    const std::string prefix = "." + paths.target.filename().string() + ".lcopy-old-";
    const fs::path link = paths.dir / (prefix + std::to_string(::getpid()));
    ::unlink(link.c_str());
    if (::link(paths.target.c_str(), link.c_str()) == 0) return TempFile(link);
    const gd::UniqueFd old(::open(paths.target.c_str(), O_RDONLY | O_CLOEXEC));
    if (!old) return Failure{kExitReplaceFailed, describe("cannot read", paths.target)};
    std::string pattern = (paths.dir / (prefix + "XXXXXX")).string();
    const gd::UniqueFd copy(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!copy) return Failure{kExitReplaceFailed, describe("cannot create a file in", paths.dir)};
    TempFile kept{fs::path(pattern)};
    if (auto failure = fillFile(paths, old.get(), copy.get(), mode)) return *failure;
    // Renamed back over the launcher should the new one not start.
    if (::fsync(copy.get()) != 0)
        return Failure{kExitReplaceFailed, describe("cannot write in", paths.dir)};
    return kept;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool inSameDirectory(const Paths& paths) {
    struct stat a {};
    struct stat b {};
    return ::stat(gd::directoryOf(paths.source).c_str(), &a) == 0 &&
           ::stat(paths.dir.c_str(), &b) == 0 && sameFile(a, b);
}

// Puts the old launcher back after the new one failed to start, and starts
// it so that the user still gets a launcher.
Failure restoreOldLauncher(const Paths& paths, TempFile& old, int startError) {
    const std::string why = std::strerror(startError);
    if (::rename(old.path().c_str(), paths.target.c_str()) != 0)
        return {kExitStartFailed, "cannot start " + paths.target.string() + ": " + why +
                                      "; the old launcher stays at " + old.path().string()};
    old.release();
    gd::syncDirectory(paths.dir);
    gd::startDetached(paths.target.string(), {paths.target.string()});
    return {kExitStartFailed, "cannot start the new launcher " + paths.target.string() + ": " +
                                  why + "; the old launcher was put back"};
}

std::optional<Failure> replaceAndStart(const Paths& paths, int source) {
    struct stat current {};
    if (::stat(paths.target.c_str(), &current) != 0)
        return Failure{kExitUsage, describe("no launcher at", paths.target)};
    struct stat incoming {};
    if (::fstat(source, &incoming) == 0 && sameFile(current, incoming))
        return Failure{kExitUsage, "the new and the current launcher are the same file"};
    const mode_t mode = (current.st_mode & 0777) | S_IXUSR;

    if (!gd::InstanceLock::lockFilePath())
        return Failure{kExitStillRunning, "no private runtime directory holds the launcher's lock"};
    auto lock = gd::InstanceLock::acquireWithin(waitBound());
    if (!lock) return Failure{kExitStillRunning, "the launcher did not end in time"};

    gd::FileReplacement replacement(paths.target, mode);
    if (!replacement)
        return Failure{kExitReplaceFailed, describe("cannot create a file in", paths.dir)};
    if (auto failure = fillFile(paths, source, replacement.fd(), mode)) return failure;
    Result<TempFile> old = keepOldLauncher(paths, mode);
    if (!old.value) return old.failure;
    if (!replacement.commit())
        return Failure{kExitReplaceFailed, describe("cannot rename over", paths.target)};
    // A staged launcher still there when the new launcher starts would be
    // taken for a replacement yet to finish. Should the new one not start,
    // the old one comes back without it: trying again could only fail again.
    if (inSameDirectory(paths) && ::unlink(paths.source.c_str()) == 0) gd::syncDirectory(paths.dir);

    // The new launcher takes the lock itself; held any longer it would end
    // at once as a second instance.
    lock.reset();
    if (!paths.start) return std::nullopt;
    if (!gd::startDetached(paths.target.string(), {paths.target.string()}))
        return restoreOldLauncher(paths, *old.value, errno);
    return std::nullopt;
}

std::optional<Failure> run(const Paths& paths) {
    const gd::UniqueFd source(::open(paths.source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!source) return Failure{kExitSourceUnreadable, describe("cannot open", paths.source)};
    struct stat info {};
    if (::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return Failure{kExitSourceUnreadable,
                       "not a launcher (no regular file, or empty): " + paths.source.string()};
    return replaceAndStart(paths, source.get());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << kUsage;
        return kExitOk;
    }
    const bool start = !(argc > 1 && std::string_view(argv[1]) == "--no-start");
    if (!start) {
        --argc;
        ++argv;
    }
    if (argc != 3 || argv[1][0] == '\0' || argv[2][0] == '\0')
        return fail(kExitUsage, "expected NEW_LAUNCHER CURRENT_LAUNCHER (see lcopy --help)");
    const fs::path target(argv[2]);
    const auto failure = run({fs::path(argv[1]), target, gd::directoryOf(target), start});
    return failure ? report(*failure) : kExitOk;
}

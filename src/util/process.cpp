#include "util/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "util/unique_fd.h"

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define GD_HAVE_CLOSEFROM 1
#endif

namespace gd {
namespace {

// Pointers into `argv`, which must outlive them; null-terminated for exec.
std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// The attributes every started program gets: signals as a fresh process has
// them (the launcher may block or ignore some for its own handling) and no
// inherited descriptors beyond the standard three, which the lock's
// O_CLOEXEC alone would not guarantee for descriptors opened by libraries.
class SpawnOptions {
  public:
    SpawnOptions() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigset_t all;
        ::sigemptyset(&none);
        ::sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attributes_, &none);
        ::posix_spawnattr_setsigdefault(&attributes_, &all);
        ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
#ifdef GD_HAVE_CLOSEFROM
        ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
    }
    SpawnOptions(const SpawnOptions&) = delete;
    SpawnOptions& operator=(const SpawnOptions&) = delete;
    ~SpawnOptions() {
        ::posix_spawnattr_destroy(&attributes_);
        ::posix_spawn_file_actions_destroy(&actions_);
    }

    const posix_spawn_file_actions_t* actions() const {
        return &actions_;
    }
    const posix_spawnattr_t* attributes() const {
        return &attributes_;
    }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// What follows runs between fork and exec in a copy of a possibly
// multithreaded process, so it may only make async-signal-safe calls: no
// allocation, no locks, no posix_spawn.

[[noreturn]] void reportAndExit(int reportFd, int error) {
    [[maybe_unused]] const ssize_t written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

void resetSignals() {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void execDetached(const char* program, char* const* argv, int reportFd) {
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0) reportAndExit(reportFd, errno);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    if (devNull > STDERR_FILENO) ::close(devNull);
    resetSignals();
#ifdef GD_HAVE_CLOSEFROM
    // Marks rather than closes, so the report pipe stays open until exec.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
#endif
    ::execve(program, argv, environ);
    reportAndExit(reportFd, errno);
}

// The middle process of the double fork: it leaves the caller's session and
// ends at once, so the program is re-parented to init (or the nearest
// subreaper), which reaps it. Not being a session leader itself, the program
// can never pick up a controlling terminal by accident.
[[noreturn]] void runMiddle(const char* program, char* const* argv, int reportFd) {
    ::setsid();
    const pid_t child = ::fork();
    if (child < 0) reportAndExit(reportFd, errno);
    if (child > 0) ::_exit(0);
    execDetached(program, argv, reportFd);
}

// The error number the detached start reported, 0 when the pipe closed
// without one: every writer is gone, so the program has been exec'd.
int readStartError(int fd) {
    int error = 0;
    ssize_t got;
    do {
        got = ::read(fd, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return 0;
    return got == static_cast<ssize_t>(sizeof error) ? error : EIO;
}

}  // namespace

std::optional<pid_t> spawnProcess(const std::string& program,
                                  const std::vector<std::string>& argv) {
    if (argv.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    const auto args = argvPointers(argv);
    const SpawnOptions options;
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), options.actions(), options.attributes(),
                                    args.data(), environ);
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    return pid;
}

std::optional<int> waitForExit(pid_t pid) {
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, 0);
        if (ended == pid) break;
        if (ended < 0 && errno == EINTR) continue;
        return std::nullopt;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

bool startDetached(const std::string& program, const std::vector<std::string>& argv) {
    if (argv.empty()) {
        errno = EINVAL;
        return false;
    }
    const auto args = argvPointers(argv);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const pid_t middle = ::fork();
    if (middle < 0) return false;
    if (middle == 0) runMiddle(program.c_str(), args.data(), writeEnd.get());
    writeEnd.reset();
    const int error = readStartError(readEnd.get());
    waitForExit(middle);
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

bool isLaunchableFile(const std::string& path) {
    // O_NONBLOCK: a FIFO planted under an editor's name must not hang the
    // launcher in open(); regular files ignore the flag.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (::access(path.c_str(), X_OK) != 0) return false;
    char byte = 0;
    ssize_t got;
    do {
        got = ::read(fd.get(), &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
}

}  // namespace gd

#include "robustness/gdtool_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace gdtest {
namespace {

namespace fs = std::filesystem;

gd::UniqueFd openOutput(const fs::path& path) {
    gd::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) throw std::runtime_error("GdtoolRun: cannot create " + path.string());
    return fd;
}

// The caller's environment with TMPDIR replaced.
std::vector<std::string> childEnvironment(const fs::path& tmpDir) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TMPDIR=", 7) != 0) variables.emplace_back(*entry);
    }
    variables.push_back("TMPDIR=" + tmpDir.string());
    return variables;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

RunEnd decode(int status) {
    RunEnd end;
    end.exited = WIFEXITED(status);
    end.code = end.exited ? WEXITSTATUS(status) : 0;
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

GdtoolRun::GdtoolRun(const std::vector<std::string>& args, const fs::path& tmpDir,
                     const fs::path& outputFile, const fs::path& errorFile)
    : outputFile_(outputFile), errorFile_(errorFile) {
    const gd::UniqueFd out = openOutput(outputFile);
    const gd::UniqueFd err = openOutput(errorFile);
    std::vector<std::string> argv{GD_GDTOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = childEnvironment(tmpDir);
    std::vector<char*> argPointers = pointers(argv);
    std::vector<char*> envPointers = pointers(env);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("GdtoolRun: fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        ::dup2(out.get(), STDOUT_FILENO);
        ::dup2(err.get(), STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::close_range(3, ~0U, 0);
        ::execve(argPointers[0], argPointers.data(), envPointers.data());
        ::_exit(127);
    }
    pidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!pidFd_) {
        kill();
        throw std::runtime_error("GdtoolRun: pidfd_open failed");
    }
}

GdtoolRun::~GdtoolRun() {
    if (!end_) kill();
}

std::optional<RunEnd> GdtoolRun::reap(int options) {
    if (end_) return end_;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &status, options);
    } while (got < 0 && errno == EINTR);
    if (got == pid_ && (WIFEXITED(status) || WIFSIGNALED(status))) end_ = decode(status);
    return end_;
}

std::optional<RunEnd> GdtoolRun::waitFor(std::chrono::milliseconds limit) {
    if (end_) return end_;
    pollfd ready{pidFd_.get(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int result = ::poll(&ready, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (result > 0) return reap(0);
        if (result == 0) return std::nullopt;
        if (errno != EINTR) return std::nullopt;
    }
}

bool GdtoolRun::freeze() {
    if (end_) return false;
    ::kill(pid_, SIGSTOP);
    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid_, &status, WUNTRACED);
        if (got < 0 && errno == EINTR) continue;
        if (got != pid_) return false;
        if (WIFSTOPPED(status)) return true;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            end_ = decode(status);
            return false;
        }
    }
}

void GdtoolRun::thaw() {
    if (!end_) ::kill(pid_, SIGCONT);
}

RunEnd GdtoolRun::kill() {
    if (!end_) {
        ::kill(pid_, SIGKILL);
        reap(0);
    }
    return *end_;
}

std::vector<std::string> GdtoolRun::openFiles() const {
    std::vector<std::string> targets;
    std::error_code error;
    const fs::path directory = "/proc/" + std::to_string(pid_) + "/fd";
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (!error) targets.push_back(target.string());
    }
    return targets;
}

std::string GdtoolRun::threadStates() const {
    std::string states;
    std::error_code error;
    const fs::path tasks = "/proc/" + std::to_string(pid_) + "/task";
    for (const auto& task : fs::directory_iterator(tasks, error)) {
        // The state follows the parenthesised command name, which may hold blanks.
        const std::string stat = readWhole(task.path() / "stat");
        const auto close = stat.rfind(')');
        const std::string state = close != std::string::npos ? stat.substr(close + 2, 1) : "?";
        std::string syscall = readWhole(task.path() / "syscall");
        syscall = syscall.substr(0, syscall.find(' '));
        states += "thread " + task.path().filename().string() + ": state " + state + ", in " +
                  readWhole(task.path() / "wchan") + ", system call " + syscall + "\n";
    }
    return states;
}

std::string GdtoolRun::output() const {
    return readWhole(outputFile_);
}

std::string GdtoolRun::errors() const {
    return readWhole(errorFile_);
}

int lastReportCode(const std::string& output) {
    static constexpr std::string_view kNames[] = {"ListFetching", "ListFetched",    "Downloading",
                                                  "Completed",    "LauncherUpdate", "Failed",
                                                  "Step"};
    std::size_t start = 0;
    if (const auto at = output.rfind("\nreport="); at != std::string::npos) {
        start = at + 1;
    } else if (!output.starts_with("report=")) {
        return -1;
    }
    const std::string_view line = std::string_view(output).substr(start + 7);
    const std::string_view name = line.substr(0, line.find_first_of(" \n"));
    for (std::size_t code = 0; code < std::size(kNames); ++code)
        if (kNames[code] == name) return static_cast<int>(code);
    return -1;
}

}  // namespace gdtest

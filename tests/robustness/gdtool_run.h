// One `gdtool update DIR` run as a child process, with its own temporary
// directory (TMPDIR) and its output in files, that a test can wait for with a
// bound, freeze to look at, and kill at any moment.
#pragma once

#include "util/unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gdtest {

// How a run ended: an exit code, or the signal that ended it.
struct RunEnd {
    bool exited = false;
    int code = 0;    // exit code when exited
    int signal = 0;  // terminating signal otherwise
};

class GdtoolRun {
  public:
    // Starts GD_GDTOOL_PATH with `args` (after the program name), TMPDIR set
    // to `tmpDir`, stdout into `outputFile` and stderr into `errorFile`.
    // Throws std::runtime_error when the process cannot be started.
    GdtoolRun(const std::vector<std::string>& args, const std::filesystem::path& tmpDir,
              const std::filesystem::path& outputFile, const std::filesystem::path& errorFile);
    GdtoolRun(const GdtoolRun&) = delete;
    GdtoolRun& operator=(const GdtoolRun&) = delete;
    ~GdtoolRun();  // kills and reaps a run that has not been waited for

    pid_t pid() const { return pid_; }
    bool finished() const { return end_.has_value(); }

    // Waits at most `limit` for the end; nullopt when the run is still going.
    std::optional<RunEnd> waitFor(std::chrono::milliseconds limit);

    // Stops every thread of the process (SIGSTOP) and returns once it is
    // stopped; false when the process ended first (then finished() is true).
    bool freeze();
    void thaw();
    // SIGKILL, then reaps. Works on a frozen process too.
    RunEnd kill();

    // What the process holds open: the targets of /proc/PID/fd/*, sockets as
    // "socket:[inode]". Meaningful while frozen.
    std::vector<std::string> openFiles() const;

    // Where each thread of the process is, from /proc: its state (R, S, D,
    // T...), the kernel function it waits in and its system call, one line
    // per thread; what tells a stall (waits with a time-out) from a hang.
    std::string threadStates() const;

    std::string output() const;
    std::string errors() const;

  private:
    std::optional<RunEnd> reap(int options);

    pid_t pid_ = -1;
    gd::UniqueFd pidFd_;
    std::optional<RunEnd> end_;
    std::filesystem::path outputFile_;
    std::filesystem::path errorFile_;
};

// The code of the last "report=NAME ..." line of gdtool's output ("Completed"
// is 3), as its JSON form gives it; -1 when there is none.
int lastReportCode(const std::string& output);

}  // namespace gdtest

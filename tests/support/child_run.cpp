#include "support/child_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace gdtest {

ChildEnd runInChild(const std::function<int()>& body, std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body() & 0xff);
    ChildEnd end;
    if (child < 0) return end;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() - started > bound) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            end.took = Clock::now() - started;
            return end;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    end.took = Clock::now() - started;
    end.finished = true;
    if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    return end;
}

std::string describe(const ChildEnd& end) {
    if (!end.finished) return "still running at the bound";
    if (end.signal != 0) return "ended by signal " + std::to_string(end.signal);
    return "exit " + std::to_string(end.exitCode) + " after " +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(end.took).count()) +
           " ms";
}

}  // namespace gdtest

#include "support/script_server.h"

#include "util/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace gdtest {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr std::chrono::seconds kStartLimit{10};

// Reads the first line the child prints, waiting at most kStartLimit.
std::string readFirstLine(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the server died before it was ready
        line.append(buffer, static_cast<std::size_t>(n));
    }
    return line.substr(0, line.find('\n'));
}

}  // namespace

ScriptServer::ScriptServer(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("ScriptServer: pipe failed");
    gd::UniqueFd readEnd(fds[0]);
    gd::UniqueFd writeEnd(fds[1]);

    std::vector<const char*> argv = {kPython};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("ScriptServer: fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        ::dup2(writeEnd.get(), STDOUT_FILENO);
        ::close_range(3, ~0U, 0);
        ::execv(kPython, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    writeEnd.reset();

    const std::string line = readFirstLine(readEnd.get());
    const int port = std::atoi(line.c_str());
    if (port <= 0 || port > 65535) {
        stop();
        throw std::runtime_error("ScriptServer: the server did not start (" + line + ")");
    }
    port_ = static_cast<std::uint16_t>(port);
}

ScriptServer::~ScriptServer() {
    stop();
}

void ScriptServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace gdtest

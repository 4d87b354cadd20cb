#include "support/ftp_server.h"

#include "util/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace gdtest {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr std::chrono::seconds kStartLimit{10};

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* kindName(FtpFault::Kind kind) {
    switch (kind) {
        case FtpFault::Kind::Drop:
            return "drop";
        case FtpFault::Kind::Truncate:
            return "truncate";
        case FtpFault::Kind::Stall:
            return "stall";
    }
    return "drop";
}

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

FtpServer::FtpServer(FtpServerOptions options) : options_(std::move(options)) {
    writeControl(options_.faults, options_.rateLimit);
    start();
}

FtpServer::~FtpServer() {
    stop();
}

std::string FtpServer::address() const {
    const bool v6 = options_.host.find(':') != std::string::npos;
    return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port_);
}

gd::ServerRecord FtpServer::record(std::string ftpPath) const {
    gd::ServerRecord server;
    server.ftpAddress = address();
    server.ftpUser = options_.user;
    server.ftpPassword = options_.password;
    server.ftpPath = std::move(ftpPath);
    server.installedVersion = 1.0f;
    return server;
}

void FtpServer::setFaults(std::vector<FtpFault> faults, std::uint64_t rateLimit) {
    writeControl(faults, rateLimit);
}

void FtpServer::writeControl(const std::vector<FtpFault>& faults, std::uint64_t rateLimit) const {
    std::string json = "{\"rate\": " + std::to_string(rateLimit) + ", \"faults\": [";
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const FtpFault& fault = faults[i];
        if (i != 0) json += ", ";
        json += "{\"kind\": \"" + std::string(kindName(fault.kind)) +
                "\", \"file\": " + jsonString(fault.file) +
                ", \"after\": " + std::to_string(fault.afterBytes) +
                ", \"times\": " + std::to_string(fault.times) + "}";
    }
    json += "]}";
    // The server may read the plan at any moment: replace it whole.
    const auto temporary = work_.path() / "control.json.new";
    writeFile(temporary, json);
    std::filesystem::rename(temporary, work_.path() / "control.json");
}

void FtpServer::start() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("FtpServer: pipe failed");
    gd::UniqueFd readEnd(fds[0]);
    gd::UniqueFd writeEnd(fds[1]);

    const std::string control = (work_.path() / "control.json").string();
    const std::string log = (work_.path() / "commands.log").string();
    const std::string root = options_.root.string();
    std::vector<const char*> argv = {
        kPython,  GD_FTP_SERVER_SCRIPT,  "--root",     root.c_str(),
        "--user", options_.user.c_str(), "--password", options_.password.c_str(),
        "--host", options_.host.c_str(), "--control",  control.c_str(),
        "--log",  log.c_str(),           nullptr};

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("FtpServer: fork failed");
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
        throw std::runtime_error("FtpServer: the server did not start (" + line + ")");
    }
    port_ = static_cast<std::uint16_t>(port);
}

void FtpServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::vector<std::string> FtpServer::commands() const {
    std::istringstream in(readFile(work_.path() / "commands.log"));
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) {
        // Each line starts with the connection's number.
        const auto space = line.find(' ');
        result.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return result;
}

std::vector<std::string> FtpServer::arguments(std::string_view verb) const {
    std::vector<std::string> result;
    for (const std::string& command : commands()) {
        const std::string_view text(command);
        if (text == verb) {
            result.emplace_back();
        } else if (text.starts_with(verb) && text.size() > verb.size() &&
                   text[verb.size()] == ' ') {
            result.emplace_back(text.substr(verb.size() + 1));
        }
    }
    return result;
}

int FtpServer::count(std::string_view verb) const {
    return static_cast<int>(arguments(verb).size());
}

}  // namespace gdtest

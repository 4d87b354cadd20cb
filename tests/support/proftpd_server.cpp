#include "support/proftpd_server.h"

#include "support/temp_dir.h"
#include "util/unique_fd.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace gdtest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProftpd = "/usr/sbin/proftpd";
constexpr const char* kModuleDir = "/usr/lib/proftpd";
constexpr std::chrono::seconds kStartLimit{10};
constexpr int kLaunchAttempts = 5;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("ProftpdServer: " + what);
}

bool isRoot() {
    return ::geteuid() == 0;
}

bool isIpv6(const std::string& host) {
    return host.find(':') != std::string::npos;
}

// The password as crypt(3) stores it, which is all mod_auth_file accepts.
std::string hashPassword(const std::string& password) {
    auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_r(password.c_str(), "$6$gdtestsalt$", data.get());
    if (hash == nullptr || hash[0] != '$') fail("crypt failed");
    return hash;
}

// A port that nothing on `host` uses right now. proftpd cannot be told to
// pick one itself (Port 0 switches the server off), so a launch that loses
// the port to someone else in between is tried again.
std::uint16_t freePort(const std::string& host) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (isIpv6(host)) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1) fail("bad host " + host);
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1) fail("bad host " + host);
        length = sizeof v4;
    }
    const gd::UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("cannot bind " + host);
    }
    const in_port_t port = address.ss_family == AF_INET6
                               ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                               : reinterpret_cast<sockaddr_in&>(address).sin_port;
    return ntohs(port);
}

// Whether a socket listens on `port` in this network namespace, read from the
// kernel's table so that the check itself opens no session on the server.
bool listensOn(const std::string& host, std::uint16_t port) {
    std::ifstream table(isIpv6(host) ? "/proc/net/tcp6" : "/proc/net/tcp");
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ":%04X", port);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        char local[64] = {};
        unsigned state = 0;
        if (std::sscanf(line.c_str(), " %*u: %63s %*s %x", local, &state) != 2) continue;
        if (state == 0x0A && std::string_view(local).ends_with(suffix)) return true;
    }
    return false;
}

std::string userName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    if (entry == nullptr) fail("no user name for uid " + std::to_string(uid));
    return entry->pw_name;
}

std::string groupName(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    if (entry == nullptr) fail("no group name for gid " + std::to_string(gid));
    return entry->gr_name;
}

std::string quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

// proftpd takes kilobytes per second, fractions allowed; written without the
// locale's decimal separator.
std::string kilobytesPerSecond(std::uint64_t bytes) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(bytes) / 1024.0,
                                   std::chars_format::fixed, 3);
    return std::string(text, end.ptr);
}

std::uintmax_t sizeOf(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

}  // namespace

ProftpdServer::ProftpdServer(ProftpdAccount account, fs::path workDir, std::uint64_t rateLimit)
    : account_(std::move(account)), workDir_(std::move(workDir)), rateLimit_(rateLimit) {
    if (!isRoot() && !fs::exists(fs::path(kModuleDir) / "mod_vroot.so")) {
        fail("without root, proftpd needs mod_vroot (Debian package proftpd-mod-vroot)");
    }
    writeAccountFiles();
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        port_ = freePort(account_.host);
        if (launch()) return;
    }
    fail("the server did not start; its log:\n" + readFile(workDir_ / "server.log"));
}

ProftpdServer::~ProftpdServer() {
    stop();
}

void ProftpdServer::setRateLimit(std::uint64_t rateLimit) {
    if (rateLimit == rateLimit_) return;
    rateLimit_ = rateLimit;
    stop();
    // The port was ours a moment ago and the tests' records name it: keep it.
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        if (launch()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fail("the server did not restart on port " + std::to_string(port_));
}

// The virtual user is the test's own uid and gid, so that it reads what the
// test wrote whatever the umask; for root that needs RootLogin. proftpd
// refuses account files that others may read.
void ProftpdServer::writeAccountFiles() const {
    for (const std::string& field : {account_.user, account_.password, account_.root.string()}) {
        if (field.find_first_of("\r\n") != std::string::npos) fail("line break in the account");
    }
    // The password goes in hashed; the other fields are taken as they stand.
    if (account_.user.find(':') != std::string::npos ||
        account_.root.string().find(':') != std::string::npos) {
        fail("':' in the user name or the root");
    }
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
    const fs::path passwd = workDir_ / "passwd";
    const fs::path group = workDir_ / "group";
    writeFile(passwd, account_.user + ":" + hashPassword(account_.password) + ":" + uid + ":" +
                          gid + "::" + account_.root.string() + ":/usr/sbin/nologin\n");
    writeFile(group, "gdtest:x:" + gid + ":" + account_.user + "\n");
    fs::permissions(passwd, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(group, fs::perms::owner_read | fs::perms::owner_write);
}

void ProftpdServer::writeConfig() const {
    std::string config;
    const auto line = [&config](const std::string& text) { config += text + "\n"; };
    const bool tls = !account_.tlsCertificate.empty();
    if (!isRoot() || tls) line("ModulePath " + std::string(kModuleDir));
    if (!isRoot()) {
        // Without root there is no chroot(2); mod_vroot makes the user's
        // directory its "/" in proftpd's own path handling instead.
        line("LoadModule mod_vroot.c");
        line("VRootEngine on");
    }
    if (tls) {
        line("LoadModule mod_tls.c");
        line("TLSEngine on");
        line("TLSRequired on");  // control and data
        line("TLSProtocol TLSv1.2 TLSv1.3");
        line("TLSECCertificateFile " + quoted(account_.tlsCertificate));
        line("TLSECCertificateKeyFile " + quoted(account_.tlsKey));
        line("TLSVerifyClient off");
        line("TLSLog " + quoted(workDir_ / "tls.log"));
    }
    line("ServerName \"gdtest proftpd\"");
    line("ServerType standalone");
    line("Port " + std::to_string(port_));
    line("DefaultAddress " + account_.host);
    line("SocketBindTight on");
    line(std::string("UseIPv6 ") + (isIpv6(account_.host) ? "on" : "off"));
    line("User " + userName(::geteuid()));
    line("Group " + groupName(::getegid()));
    if (isRoot()) line("RootLogin on");
    // Everything it writes stays in the work directory.
    line("PidFile " + quoted(workDir_ / "proftpd.pid"));
    line("ScoreboardFile " + quoted(workDir_ / "proftpd.scoreboard"));
    line("SystemLog " + quoted(workDir_ / "system.log"));
    line("TransferLog none");
    line("WtmpLog off");
    line("DelayTable none");
    line("ControlsEngine off");
    line("UseReverseDNS off");
    // The account comes from our files only: no PAM, no /etc/ftpusers, no shells list.
    line("AuthPAM off");
    line("AuthOrder mod_auth_file.c");
    line("AuthUserFile " + quoted(workDir_ / "passwd"));
    line("AuthGroupFile " + quoted(workDir_ / "group"));
    line("UseFtpUsers off");
    line("RequireValidShell off");
    line("DefaultRoot ~");
    line("AllowOverride off");
    line("<Limit WRITE SITE_CHMOD>\n  DenyAll\n</Limit>");
    line("LogFormat connect \"%P CONNECT\"");
    line("LogFormat command \"%P %m %J\"");
    line("ExtendedLog " + quoted(commandLog()) + " CONNECT connect");
    line("ExtendedLog " + quoted(commandLog()) + " ALL command");
    if (rateLimit_ != 0) {
        line("TransferRate RETR " + kilobytesPerSecond(rateLimit_));
        // proftpd paces whole buffers, and its buffer follows the send buffer:
        // a small one spreads a download over many network reads, as a slow
        // link would.
        line("SocketOptions sndbuf " +
             std::to_string(std::max<std::uint64_t>(1024, rateLimit_ / 20)));
    }
    writeFile(workDir_ / "proftpd.conf", config);
}

// Starts proftpd on port_; false when it did not come up (the port was taken).
bool ProftpdServer::launch() {
    writeConfig();
    const fs::path logPath = workDir_ / "server.log";
    const std::uintmax_t logOffset = sizeOf(logPath);
    const gd::UniqueFd log(
        ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    const gd::UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!log || !null) fail("cannot open " + logPath.string());
    const std::string config = (workDir_ / "proftpd.conf").string();
    // -n keeps it in the foreground, where it logs to stderr.
    const char* const argv[] = {kProftpd, "-n", "-c", config.c_str(), nullptr};

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) fail("fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        // Its own process group, so that stopping it also ends its sessions.
        ::setpgid(0, 0);
        ::dup2(null.get(), STDIN_FILENO);
        ::dup2(log.get(), STDOUT_FILENO);
        ::dup2(log.get(), STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        ::execv(kProftpd, const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // also here, so that stop() never races the child's call
    if (waitUntilListening(logOffset)) return true;
    stop();
    return false;
}

// proftpd logs its start after binding the port and listens right after:
// both must be seen, so that a port someone else took in between is no start.
bool ProftpdServer::waitUntilListening(std::uintmax_t logOffset) {
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return false;
        }
        const std::string log = readFile(workDir_ / "server.log");
        if (log.size() > logOffset &&
            log.find("standalone mode STARTUP", logOffset) != std::string::npos &&
            listensOn(account_.host, port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ProftpdServer::stop() {
    if (pid_ <= 0) return;
    // The sessions are its forked children in its process group.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace gdtest

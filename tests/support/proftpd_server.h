// Debian's proftpd (/usr/sbin/proftpd) as a second real FTP server for the
// engine tests: one virtual user from a passwd-format file, one directory as
// that user's "/", a loopback address and a free port. Its configuration,
// account files and logs live in a directory the caller owns; it uses no PAM,
// no syslog and nothing of the system's proftpd set-up, and runs in the
// foreground as a child of the test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace gdtest {

struct ProftpdAccount {
    std::filesystem::path root;  // what the user sees as "/"
    std::string user;
    std::string password;
    std::string host;  // a loopback address, IPv4 or IPv6
    // Both set: mod_tls requires explicit FTPS with this (EC) certificate.
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
};

class ProftpdServer {
  public:
    // Starts the server with `rateLimit` bytes per second per download (0:
    // unlimited) and waits until it listens; throws std::runtime_error when
    // it does not come up within a few seconds (or `host` cannot be bound).
    // `workDir` must outlive the server. The server also dies with the test.
    ProftpdServer(ProftpdAccount account, std::filesystem::path workDir, std::uint64_t rateLimit);
    ProftpdServer(const ProftpdServer&) = delete;
    ProftpdServer& operator=(const ProftpdServer&) = delete;
    ~ProftpdServer();  // kills the server and its sessions

    std::uint16_t port() const { return port_; }
    std::uint64_t rateLimit() const { return rateLimit_; }

    // proftpd reads its limits when a session starts: a new limit restarts the
    // server on the same port, which ends the sessions that are open.
    void setRateLimit(std::uint64_t rateLimit);

    // Every command as "<session> VERB argument" (PASS shown as "(hidden)"),
    // and "<session> CONNECT" for each new control connection; <session> is
    // the pid of the process serving it.
    std::filesystem::path commandLog() const { return workDir_ / "commands.log"; }

  private:
    void writeAccountFiles() const;
    void writeConfig() const;
    bool launch();
    bool waitUntilListening(std::uintmax_t logOffset);
    void stop();

    ProftpdAccount account_;
    std::filesystem::path workDir_;
    std::uint64_t rateLimit_ = 0;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace gdtest

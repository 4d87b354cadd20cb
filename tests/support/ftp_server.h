// A real FTP server (pyftpdlib, tests/support/ftp_server.py) on a loopback
// address and a free port, serving one directory to one user, with faults that
// a test can inject into its downloads and a log of every command it received.
#pragma once

#include "script/launcher_config.h"
#include "support/script_server.h"
#include "support/temp_dir.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gdtest {

// One misbehaviour of the server's data connection.
struct FtpFault {
    enum class Kind {
        Drop,      // closes the data connection and answers 426
        Truncate,  // closes the data connection and claims success (226)
        Stall,     // stops sending and keeps the connection open
    };
    Kind kind = Kind::Drop;
    std::string file;              // base name of the remote file it applies to
    std::uint64_t afterBytes = 0;  // bytes of the transfer sent before it strikes
    int times = -1;                // first `times` transfers of the file; -1: all
};

struct FtpServerOptions {
    std::filesystem::path root;  // what the user sees as "/"
    // Characters that break a login written into a URL.
    std::string user = "gd-updater";
    std::string password = "p@ss:w/rd #%?";
    std::string host = "127.0.0.1";
    std::uint64_t rateLimit = 0;  // bytes per second per transfer; 0: unlimited
    std::vector<FtpFault> faults;
};

// Starts the server in the constructor (throws std::runtime_error when it does
// not come up within a few seconds) and kills and reaps it in the destructor.
// The server also dies with the test process.
class FtpServer {
  public:
    explicit FtpServer(FtpServerOptions options);
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;
    ~FtpServer();

    std::uint16_t port() const;
    // host:port, with the host in brackets when it is an IPv6 address.
    std::string address() const;
    // A server record that logs in as the user and enters `ftpPath`.
    gd::ServerRecord record(std::string ftpPath) const;

    // Replaces the fault plan and the rate limit from the next transfer on;
    // the transfer counts of the faults start again.
    void setFaults(std::vector<FtpFault> faults, std::uint64_t rateLimit = 0);

    // Every command received so far, in order, as "VERB argument" (PASS masked);
    // a new control connection shows as "CONNECT".
    std::vector<std::string> commands() const;
    // The arguments of every received command `verb` ("REST", "RETR", ...).
    std::vector<std::string> arguments(std::string_view verb) const;
    int count(std::string_view verb) const;

  private:
    void writeControl(const std::vector<FtpFault>& faults, std::uint64_t rateLimit) const;

    FtpServerOptions options_;
    TempDir work_;
    std::unique_ptr<ScriptServer> server_;
};

}  // namespace gdtest

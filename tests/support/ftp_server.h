// A real FTP server on a loopback address and a free port, serving one
// directory to one user, with a log of every command it received: pyftpdlib
// (tests/support/ftp_server.py), which can also inject faults into downloads,
// or proftpd, so that the engine is seen to depend on no one server's quirks.
#pragma once

#include "script/launcher_config.h"
#include "support/script_server.h"
#include "support/temp_dir.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gdtest {

class ProftpdServer;

enum class FtpServerKind { Pyftpdlib, Proftpd };

// The kind named by the environment variable GD_TEST_FTP_SERVER ("pyftpdlib"
// or "proftpd"); pyftpdlib when it is unset. ctest runs the FTP and update
// tests once more with it set to proftpd. Throws std::runtime_error for any
// other name.
FtpServerKind defaultFtpServerKind();

// One misbehaviour of the server's data connection.
struct FtpFault {
    enum class Kind {
        Drop,      // closes the data connection and answers 426
        Truncate,  // closes the data connection and claims success (226)
        Stall,     // stops sending and keeps the connection open
        Trickle,   // goes on sending, four bytes a second
        Overrun,   // sends the whole file, then afterBytes more, and claims success
        Unsized,   // answers SIZE of the file with 502 (not implemented); transfers stay
        NoRest,    // answers every REST with 502, as a server that cannot resume
    };
    Kind kind = Kind::Drop;
    std::string file;              // base name of the remote file it applies to
    std::uint64_t afterBytes = 0;  // bytes of the transfer sent before it strikes (Overrun:
                                   // bytes past the end of the file)
    int times = -1;                // first `times` transfers of the file; -1: all
};

struct FtpServerOptions {
    std::filesystem::path root;  // what the user sees as "/"
    // Characters that break a login written into a URL.
    std::string user = "gd-updater";
    std::string password = "p@ss:w/rd #%?";
    std::string host = "127.0.0.1";
    std::uint64_t rateLimit = 0;        // bytes per second per transfer; 0: unlimited
    std::vector<FtpFault> faults;       // pyftpdlib only: see FtpServer::injectsFaults
    std::optional<FtpServerKind> kind;  // unset: defaultFtpServerKind()
    // Both set: explicit FTPS with this certificate, required before the
    // login and on every data connection.
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
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

    FtpServerKind kind() const { return kind_; }
    // Only pyftpdlib injects faults. Asked for faults (here or in the options),
    // another server marks the running test skipped and keeps the rest of its
    // outcome out of the result, as if the test had stopped there: what
    // follows was written for a transfer that fails.
    bool injectsFaults() const { return kind_ == FtpServerKind::Pyftpdlib; }

    // Replaces the fault plan and the rate limit from the next transfer on;
    // the transfer counts of the faults start again. proftpd takes a new rate
    // limit by restarting, which ends the sessions that are open.
    void setFaults(std::vector<FtpFault> faults, std::uint64_t rateLimit = 0);

    // Every command received so far, in order, as "VERB argument" (PASS masked);
    // a new control connection shows as "CONNECT". pyftpdlib logs a command as
    // it arrives, proftpd once it is answered: a RETR after its transfer, and
    // not at all when the session dies during it.
    std::vector<std::string> commands() const;
    // The arguments of every received command `verb` ("REST", "RETR", ...).
    std::vector<std::string> arguments(std::string_view verb) const;
    int count(std::string_view verb) const;

  private:
    struct SkippedRest;

    void writeControl(const std::vector<FtpFault>& faults, std::uint64_t rateLimit) const;
    void skipWithoutFaults();

    FtpServerOptions options_;
    FtpServerKind kind_;
    TempDir work_;
    std::unique_ptr<ScriptServer> server_;    // pyftpdlib
    std::unique_ptr<ProftpdServer> proftpd_;  // proftpd
    std::unique_ptr<SkippedRest> skippedRest_;
};

}  // namespace gdtest

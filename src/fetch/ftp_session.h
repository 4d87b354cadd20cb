// All traffic with the update server: one FTP connection (libcurl easy
// handle) per session, logged in and changed into the server's update
// directory at open; the session's transfers reuse it.
#pragma once

#include "fetch/transfer_attempts.h"
#include "script/launcher_config.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace gd {

class DownloadSink;
class Notifier;
class VersionManifest;

inline constexpr const char* kFtpAgent = "DedEzi Utility";
inline constexpr const char* kVersionScriptName = "filelist.dat";

// How long a session waits on the network. The defaults are WinINet's, which
// the servers in the field have always been used with: a connection attempt
// gives up after 60 s, and a transfer or a command reply that moves no byte
// for 30 s has failed (for a download, that is one failed attempt of the chunk).
// A session may also be bounded as a whole: every exchange ends by `total`
// after the session was opened, whatever the server does; 0 is no bound.
struct FtpTimeouts {
    std::chrono::seconds connect{60};
    std::chrono::seconds stall{30};
    std::chrono::seconds total{0};
};

// The probe and the fetch of filelist.dat, bounded each so that the two
// together never hold a check for more than a minute: a server that trickles
// a byte a second would otherwise keep the window waiting for an hour.
inline constexpr std::chrono::seconds kProbeTimeLimit{30};
inline constexpr std::chrono::seconds kVersionFetchTimeLimit{30};

enum class DownloadResult {
    Done,        // the whole remote file is in the local file
    NotOpened,   // the remote file could not be opened (or the local one created)
    ReadFailed,  // a chunk could not be read after every attempt, the file ended short,
                 // or the server sent more than it announced
    TooLarge,    // more than the caller's limit: announced (then nothing was transferred)
                 // or, from a server that announced no size, sent
    Cancelled,   // the caller's stop token was triggered
};

// Receives how far the current download is.
using ProgressSink = std::function<void(const TransferProgress& progress)>;

// Used by one thread at a time; every call blocks until its exchange is over.
class FtpSession {
  public:
    explicit FtpSession(FtpTimeouts timeouts = {});
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;
    ~FtpSession();

    // Connects (passive, binary, agent kFtpAgent, never through a proxy) to
    // server.ftpAddress (host, host:port or [v6]:port; port 21 by default),
    // logs in with ftpUser and ftpPassword and enters server.ftpPath. False
    // when any of that fails; the session is then closed. Opening an open
    // session closes it first. Should the server drop the connection between
    // transfers, the next transfer logs in again by itself. `stop` ends a
    // connection or login that hangs (a failure) within a few milliseconds.
    // With server.ftpTls the control connection is secured (AUTH TLS) before
    // the login and every data connection too, the certificate checked against
    // server.ftpCaFile or the system's store and the host name; a server that
    // cannot do that is not used, never one in plain text. A record whose
    // settings are unusable is refused without contacting anyone.
    bool Open(const ServerRecord& server, std::stop_token stop = {});
    void Close();
    bool isOpen() const;
    // Why the last Open failed when TLS was at fault (handshake, certificate,
    // CA file, a server without TLS), in plain words; empty otherwise.
    const std::string& tlsFailure() const { return tlsFailure_; }
    // Why the last Open failed, whatever the cause (no answer, an unknown
    // host, a refused login, a folder that cannot be entered, TLS), in plain
    // words that name the server; empty after a success or a stop.
    const std::string& failure() const { return failure_; }

    // The first `limit` bytes of a remote file in the session's directory (all
    // of it when shorter), however many network reads that takes; nullopt
    // when it cannot be opened or read, or when `stop` ended it.
    std::optional<std::string> ReadHead(const std::string& remoteName, std::size_t limit,
                                        std::stop_token stop = {});

    // Hands a remote file's bytes to `sink`, in order, in chunks of
    // kDownloadChunkSize, reporting the progress as ProgressPacer paces it,
    // before each retry (with the attempt and the wait) and at the end (100,
    // all travelled); a sink that already holds bytes is continued
    // where it stopped, and its bytes do not count as travelled.
    // A chunk gets kChunkAttempts attempts, kChunkRetryPause apart; every
    // retry resumes (REST) at the sink's received(), and a server that
    // refuses REST fails the transfer at once. A transfer that ends
    // short of the announced size is a failed attempt, so it never gives Done.
    // A remote size of 0 reports 100 at the end.
    // NotOpened: the remote file cannot be opened. ReadFailed: every attempt
    // of a chunk failed, or the sink refused bytes. Cancelled: `stop` was
    // requested; it is seen within about a second, also during a stalled
    // transfer or the pause between attempts. No more than `limit` bytes, nor
    // more than the announced size, are ever handed over: a transfer that
    // runs past either is cut there.
    DownloadResult Download(const std::string& remoteName, DownloadSink& sink,
                            const ProgressSink& progress, std::stop_token stop = {},
                            std::uint64_t limit = UINT64_MAX);

    // Download into a new file at `localPath` (what was there is unlinked
    // and the file created anew once the remote file is known to exist:
    // NotOpened leaves no new local file, and is also the answer when it
    // cannot be created). After a failure the local file holds what
    // arrived; the caller removes it.
    DownloadResult DownloadToFile(const std::string& remoteName,
                                  const std::filesystem::path& localPath,
                                  const ProgressSink& progress, std::stop_token stop = {},
                                  std::uint64_t limit = UINT64_MAX);

  private:
    struct Connection;
    // Asks the remote size, then transfers into the sink that `openSink`
    // gives (nullptr: NotOpened).
    DownloadResult transfer(const std::string& remoteName,
                            const std::function<DownloadSink*()>& openSink,
                            const ProgressSink& progress, std::stop_token stop,
                            std::uint64_t limit);
    FtpTimeouts timeouts_;
    std::unique_ptr<Connection> connection_;
    std::string tlsFailure_;
    std::string failure_;
};

}  // namespace gd

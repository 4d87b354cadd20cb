// Fetching files from an HTTP(S) mirror or CDN (libcurl), with what the FTP
// transport guarantees: resumption after a drop, stall and total time
// limits, size caps, progress, and TLS certificates checked.
#pragma once

#include "fetch/download_sink.h"
#include "fetch/ftp_session.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace gd {

// A redirect chain longer than this is a loop or a trick.
inline constexpr long kHttpRedirectLimit = 5;

struct HttpOptions {
    FtpTimeouts timeouts{};
    // Empty: direct connections only, whatever the environment says.
    // kProxyFromEnvironment: libcurl's http_proxy, https_proxy and no_proxy.
    // Anything else: that proxy URL.
    std::string proxy{};
    // A PEM file of CA certificates that replaces the system's store; empty:
    // the system's store.
    std::string caFile{};
};

inline constexpr const char* kProxyFromEnvironment = "environment";

// The user's choice of proxy for mirrors: the value MirrorProxy of the
// user's GrooveDeck settings (see HttpOptions::proxy); empty when unset.
std::string userMirrorProxy();

// Used by one thread at a time; every call blocks until its exchange is over.
// Redirects are followed up to kHttpRedirectLimit, never from https to http.
// Certificates are checked against the system's store (or the options' CA
// file) and the host name.
class HttpSession {
  public:
    explicit HttpSession(HttpOptions options = {});
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;
    ~HttpSession();

    // The first `limit` bytes of `url` (all of it when shorter); nullopt when
    // the server answers with an error status or the exchange fails.
    std::optional<std::string> ReadHead(const std::string& url, std::size_t limit,
                                        std::stop_token stop = {});

    // Whether the server answers a HEAD request of `url` with success.
    bool Answers(const std::string& url, std::stop_token stop = {});

    // Writes the remote file into `sink`, starting at sink.received() with a
    // Range request (a server that answers 200 instead has the bytes already
    // held skipped). Progress, attempts and results as FtpSession's
    // DownloadToFile: NotOpened when the server answers with an error status
    // before any byte arrived, ReadFailed when every attempt of a chunk
    // failed, the file ended short or ran past its announced size, or the
    // sink refused bytes; TooLarge past `limit`; Cancelled on `stop`.
    DownloadResult Download(const std::string& url, DownloadSink& sink,
                            const ProgressSink& progress, std::stop_token stop = {},
                            std::uint64_t limit = UINT64_MAX);

    // Why the last exchange failed, in plain words; empty after a success.
    const std::string& failure() const { return failure_; }

  private:
    struct Handle;
    HttpOptions options_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::unique_ptr<Handle> handle_;
    std::string failure_;
};

}  // namespace gd

// Where the files of the update directory (filelist.dat, the archives and
// their .minisig files) can be had: the FTP server, or an HTTP(S) mirror
// that serves a copy of the directory under a base URL.
#pragma once

#include "fetch/download_sink.h"
#include "fetch/ftp_session.h"
#include "fetch/http_session.h"
#include "script/launcher_config.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

namespace gd {

class UpdateSource {
  public:
    virtual ~UpdateSource() = default;
    // The source as reports name it: the mirror's base URL, or ftp://ADDRESS/PATH.
    virtual std::string name() const = 0;
    // The first `limit` bytes of `file`; nullopt when it cannot be had.
    virtual std::optional<std::string> readHead(const std::string& file, std::size_t limit,
                                                std::stop_token stop) = 0;
    // `file` into `sink`, continued from what the sink holds, as
    // FtpSession's Download does.
    virtual DownloadResult stream(const std::string& file, DownloadSink& sink,
                                  const ProgressSink& progress, std::stop_token stop,
                                  std::uint64_t limit) = 0;
    // Why the last call failed, in plain words; may be empty.
    virtual std::string failure() const = 0;
};

// The FTP server through a session that the caller owns; opened on first use
// when it is not open yet.
class FtpUpdateSource : public UpdateSource {
  public:
    FtpUpdateSource(FtpSession& session, const ServerRecord& server)
        : session_(session), server_(server) {}

    std::string name() const override;
    std::optional<std::string> readHead(const std::string& file, std::size_t limit,
                                        std::stop_token stop) override;
    DownloadResult stream(const std::string& file, DownloadSink& sink, const ProgressSink& progress,
                          std::stop_token stop, std::uint64_t limit) override;
    std::string failure() const override { return failure_; }

  private:
    bool open(std::stop_token stop);

    FtpSession& session_;
    const ServerRecord& server_;
    std::string failure_;
};

// A mirror: `file` is fetched from the base URL followed by the file name
// (percent-encoded; a '/' is put between them when the base lacks one).
class MirrorUpdateSource : public UpdateSource {
  public:
    MirrorUpdateSource(std::string base, HttpOptions options);

    std::string name() const override { return base_; }
    std::string urlOf(const std::string& file) const;
    std::optional<std::string> readHead(const std::string& file, std::size_t limit,
                                        std::stop_token stop) override;
    DownloadResult stream(const std::string& file, DownloadSink& sink, const ProgressSink& progress,
                          std::stop_token stop, std::uint64_t limit) override;
    // The URL asked last and what went wrong with it.
    std::string failure() const override;
    HttpSession& session() { return session_; }

  private:
    std::string base_;
    HttpSession session_;
    std::string lastUrl_;
};

}  // namespace gd

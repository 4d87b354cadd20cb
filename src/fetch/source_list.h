// Where a run takes the files of the update directory from. A signed
// installation with mirrors (DUREDOR_MIRRORS) asks them in the listed order
// and the FTP server last: a signature decides what is accepted, so it does
// not matter who serves the bytes. A source that fails (no connection, an
// HTTP error, a stall, a refused signature, a short file) is left out for the
// rest of the run and the next one is asked for the same file; the file is
// lost only when every source failed. Without mirrors, the FTP server alone,
// as it always was.
#pragma once

#include "fetch/download_cache.h"
#include "fetch/file_download_sink.h"
#include "fetch/ftp_session.h"
#include "script/launcher_config.h"
#include "trust/content_digest.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>

namespace gd {

// The box (caption "エラー") of an archive that could not be downloaded.
inline constexpr std::string_view kDownloadFailedMessage =
    "パッチファイルのダウンロードに失敗しました。アップデートを終了します。";

class DownloadSink;
class Notifier;
class UpdateSource;
struct SourceAttempt;  // one source's try at a file

// An archive read as it arrives rather than kept whole in a file.
class ArchiveStream {
  public:
    virtual ~ArchiveStream() = default;
    // A sink that holds nothing, for the next source's attempt: whatever an
    // earlier attempt left in it is gone. nullptr when none can be made.
    virtual DownloadSink* restart() = 0;
    // Once the transfer into the sink has ended: waits until the sink has
    // dealt with every byte; false when it refused some.
    virtual bool finish() = 0;
    // Whether the sink refused bytes because the archive cannot be read
    // front to back, which another source would not change.
    virtual bool needsWholeFile() const = 0;
};

enum class StreamEnd {
    Done,             // arrived whole into the last sink, its signature holds
    WholeFileNeeded,  // the archive or its signature must be had as a file
    Failed,           // as fetchArchive's failures, after the same boxes
};

// Whether `server` is to be served by its mirrors first.
bool usesMirrors(const ServerRecord& server);

class SourceList {
  public:
    // filelist.dat as fetchVersionScript gives it, from the first source that
    // serves it acceptably, within kVersionFetchTimeLimit per source. The
    // failures of mirrors are said as skipped sources, the FTP server's as
    // they always were.
    std::optional<std::string> fetchVersionScript(Notifier& notifier, const ServerRecord& server,
                                                  std::stop_token stop = {});

    // An archive into a file at `localPath` with its signature judged, from
    // the first source that serves it whole and signed (and, when the signed
    // list pins it, with the `pinned` content); `progress` starts
    // again with each source, and so does the file: each attempt makes
    // `file` anew. Done: `file` holds the archive, judged by the bytes
    // written into it; otherwise what the FTP server's attempt ended with
    // (after its box and refusal, as a download from it alone shows them).
    DownloadResult fetchArchive(Notifier& notifier, const ServerRecord& server,
                                const std::string& archive, std::optional<ContentDigest> pinned,
                                const std::filesystem::path& localPath,
                                std::optional<FileDownloadSink>& file, const ProgressSink& progress,
                                std::stop_token stop, std::uint64_t limit,
                                const KeepingSink::Charge& charge = {});

    // The same archive into `stream`, from the same sources in the same
    // order; a source that fails midway is skipped and the next one starts
    // from a fresh sink. Without mirrors, the FTP server alone.
    StreamEnd streamArchive(Notifier& notifier, const ServerRecord& server,
                            const std::string& archive, std::optional<ContentDigest> pinned,
                            ArchiveStream& stream, const ProgressSink& progress,
                            std::stop_token stop, std::uint64_t limit,
                            const KeepingSink::Charge& charge = {});

    // The first `limit` bytes of `archive` (all of it when shorter) from the
    // same sources in the same order, for a look at what the archive needs
    // before it is downloaded: nothing is judged of them, the signature
    // covers the whole. A mirror that fails is left out as for a download;
    // nullopt, without a word, when the FTP server cannot serve them either
    // (the download that follows says why).
    std::optional<std::string> readArchiveHead(Notifier& notifier, const ServerRecord& server,
                                               const std::string& archive, std::size_t limit,
                                               std::stop_token stop);

    // Both go on from what an earlier run kept of the archive in the user's
    // cache, and keep what arrives there until the archive is whole;
    // `charge` is asked for room for every kept byte. This drops what is kept
    // from `server` of archives it no longer lists.
    void pruneKept(const ServerRecord& server, const std::set<std::string>& listed);
    // Whether the last archive fetched went on from kept bytes: should it
    // then fail to unpack, fetching it again starts from zero.
    bool lastFromKept() const { return keptBytesUsed_; }
    // Waits until the bytes kept of an archive that arrived whole are gone
    // from memory: a sync of their file system would otherwise write them.
    void settleKept() {
        if (kept_) kept_->settle();
    }

  private:
    using AttemptAt = std::function<SourceAttempt(UpdateSource&)>;
    // Asks each source in turn until one does not fail; what the last one did.
    SourceAttempt fetchFromSources(Notifier& notifier, const ServerRecord& server,
                                   const std::string& archive, std::stop_token stop,
                                   const AttemptAt& attempt);
    bool skipped(const std::string& mirror) const { return skipped_.contains(mirror); }
    void skip(Notifier& notifier, const std::string& mirror, const std::string& reason);

    // What is kept of the archive being fetched, in the cache opened on first use.
    KeptDownload* kept(const ServerRecord& server, const std::string& archive);

    std::set<std::string> skipped_;
    std::optional<DownloadCache> cache_;
    std::unique_ptr<KeptDownload> kept_;
    std::string keptArchive_;
    bool keptBytesUsed_ = false;
};

}  // namespace gd

// Archives whose download was cut short (the launcher closed, the process
// killed, the network gone), kept in the user's cache so that the next run
// goes on where this one stopped instead of from zero. They wait in
// $XDG_CACHE_HOME/groovedeck (~/.cache/groovedeck), a folder of the user's
// own closed to others; every name in it is opened without following links
// and made new only where nothing stood.
//
// A kept prefix is only a head start: a signed archive is judged as a whole
// by its signature once it is complete, and an unsigned one is continued only
// when the server still announces the size and modification time recorded
// beside it. What fails either starts again from zero.
#pragma once

#include "fetch/download_sink.h"
#include "util/unique_fd.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace gd {

struct ServerRecord;

// One archive's kept bytes and the server's stamp of the file they came from.
class KeptDownload {
  public:
    KeptDownload(int folder, std::string name, UniqueFd data);
    KeptDownload(const KeptDownload&) = delete;
    KeptDownload& operator=(const KeptDownload&) = delete;
    // Writes what append() still holds.
    ~KeptDownload();

    // False once removed, or when its file could not be kept on.
    bool usable() const { return static_cast<bool>(data_); }
    std::uint64_t size() const { return size_; }
    // The bytes at `offset` into `into` (as many as fit); false on a read error.
    bool read(std::uint64_t offset, std::span<char> into);
    // Whether the cache's file system has room for `bytes` more beyond the
    // reserve that a run keeps free on its own (util/disk_room.h).
    bool hasRoomFor(std::uint64_t bytes);
    // Keeps `bytes` after the others; they reach the file in whole pieces,
    // the last one when the download is read back or the object goes. False
    // when a write failed.
    bool append(std::span<const char> bytes);
    // Empties it and forgets the stamp: the next download starts from zero.
    void discard();
    // Removes it for good: the archive arrived whole. The memory of a large
    // one is freed on a thread of its own; settle() waits for that.
    void remove();
    void settle();
    std::optional<RemoteStamp> stamp() const;
    void record(const RemoteStamp& stamp);

  private:
    bool flush();

    int folder_;  // the cache folder's descriptor, which the cache owns
    std::string name_;
    UniqueFd data_;
    std::uint64_t size_ = 0;
    std::uint64_t room_ = 0;     // as last measured, less what was appended since
    std::vector<char> pending_;  // appended, not written yet
    std::jthread emptying_;      // the removed file's, when large
};

class DownloadCache {
  public:
    // The user's cache folder, made (0700) when missing; nullopt when it
    // cannot be had, or is a link, not the user's or open to others. Runs
    // then download as they always did, keeping nothing.
    static std::optional<DownloadCache> open();

    // What is kept of `archive` from `server`: an empty one when nothing is,
    // nullptr when it cannot be kept (another run is downloading it, or the
    // name holds something other than a plain file of ours).
    std::unique_ptr<KeptDownload> keep(const ServerRecord& server, const std::string& archive);
    // Removes what is kept from `server` of archives it no longer lists, and
    // what other servers left that has not changed for a month.
    void prune(const ServerRecord& server, const std::set<std::string>& listed);

  private:
    explicit DownloadCache(UniqueFd folder) : folder_(std::move(folder)) {}
    UniqueFd folder_;
};

// Feeds what is kept into `next`, then keeps each byte that arrives before
// passing it on. `charge` is asked for room before any byte is written to the
// cache; refused room ends the transfer as a sink refusal. Where the cache's
// file system would go below its reserve, it keeps no more (what it holds
// stays a head start) and the download goes on.
class KeepingSink final : public DownloadSink {
  public:
    using Charge = std::function<bool(std::uint64_t)>;
    // `judged`: a signature will judge the whole archive, so that the kept
    // bytes need no stamp to be reused.
    KeepingSink(KeptDownload& kept, DownloadSink& next, bool judged, Charge charge);

    // Keeps the prefix when it may be reused, hands it to `next`, and records
    // the stamp of a download that starts from zero.
    bool begin(const RemoteStamp& stamp) override;
    bool accept(std::span<const char> bytes) override;
    std::uint64_t received() const override { return next_.received(); }
    // Whether the download went on from bytes an earlier run kept.
    bool resumed() const { return resumed_; }
    // Whether the source sent any byte after those: a source that cannot
    // continue (no REST, a failed Range) sends none.
    bool continued() const { return continued_; }

  private:
    bool replay();

    KeptDownload& kept_;
    DownloadSink& next_;
    bool judged_;
    Charge charge_;
    bool resumed_ = false;
    bool continued_ = false;
    bool keeping_ = true;
};

}  // namespace gd

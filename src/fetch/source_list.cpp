#include "fetch/source_list.h"

#include "fetch/file_download_sink.h"
#include "fetch/trusted_fetch.h"
#include "fetch/update_source.h"
#include "script/notifier.h"
#include "script/version_manifest.h"

#include <span>
#include <vector>

namespace gd {
namespace {

// Keeps what a mirror's failure would have said, so that it can be said as
// the mirror's skip instead.
class HeldNotifier : public Notifier {
  public:
    void showMessage(std::string_view, std::string_view) override {}
    void refused(std::string_view reason) override {
        if (reason_.empty()) reason_ = reason;
    }
    void unreachable(std::string_view reason) override { refused(reason); }
    const std::string& reason() const { return reason_; }

  private:
    std::string reason_;
};

HttpOptions mirrorOptions(std::chrono::seconds total) {
    HttpOptions options;
    options.timeouts.total = total;
    options.proxy = userMirrorProxy();
    return options;
}

// Passes a download on and hashes, for the signature, exactly the bytes
// that `next` took.
class SignedSink : public DownloadSink {
  public:
    SignedSink(DownloadSink& next, RemoteSignature& signature)
        : next_(next), signature_(signature) {}
    bool accept(std::span<const char> bytes) override {
        if (!next_.accept(bytes)) return false;
        signature_.addBytes(bytes);
        return true;
    }
    bool begin(const RemoteStamp& stamp) override { return next_.begin(stamp); }
    std::uint64_t received() const override { return next_.received(); }

  private:
    DownloadSink& next_;
    RemoteSignature& signature_;
};

}  // namespace

struct SourceAttempt {
    DownloadResult result = DownloadResult::NotOpened;
    std::string reason;            // why it failed, in plain words
    bool refused = false;          // the signature or the file was refused
    bool wholeFileNeeded = false;  // the archive cannot be streamed, whoever serves it
    bool sinkRefused = false;      // what arrived could not be used
};

// What a run keeps of the archive it downloads, and the room it may take.
struct Keeping {
    KeptDownload* kept = nullptr;  // nullptr: nothing is kept
    KeepingSink::Charge charge;
};

// What one try made of the bytes an earlier run kept.
struct KeptUse {
    bool resumed = false;    // it went on from them
    bool continued = false;  // and the source sent bytes after them
};

namespace {

// The signature of `archive` from `source`; what the attempt ends with when
// it cannot be had or is refused (a refused one costs no download).
std::optional<SourceAttempt> fetchSignature(UpdateSource& source, RemoteSignature& signature,
                                            std::stop_token stop) {
    if (signature.fetch(source, stop)) return std::nullopt;
    if (stop.stop_requested()) return SourceAttempt{DownloadResult::Cancelled, {}, false};
    const std::string failure = source.failure();
    // A source that does not answer has refused nothing; one that
    // answers without the signature has.
    if (!failure.empty()) return SourceAttempt{DownloadResult::NotOpened, failure, false};
    return SourceAttempt{DownloadResult::ReadFailed, signature.refusal(), true};
}

// One source's try at an archive in a new file, judged whole by what was
// written into it however many resumptions it took. `file` holds the
// archive only when this is Done.
SourceAttempt fetchSigned(UpdateSource& source, const ServerRecord& server,
                          const std::string& archive, const std::optional<ContentDigest>& pinned,
                          const std::filesystem::path& localPath,
                          std::optional<FileDownloadSink>& file, const ProgressSink& progress,
                          std::stop_token stop, std::uint64_t limit, const Keeping& keeping,
                          KeptUse& used) {
    file.reset();
    used = {};
    RemoteSignature signature(server, archive, pinned);
    if (auto failed = fetchSignature(source, signature, stop)) return *failed;
    if (!file.emplace(localPath).isOpen()) {
        file.reset();
        return {DownloadResult::NotOpened, localPath.string() + " cannot be created", false};
    }
    SignedSink sink(*file, signature);
    // Kept bytes are written and hashed as if they had just arrived.
    std::optional<KeepingSink> keeper;
    if (keeping.kept != nullptr)
        keeper.emplace(*keeping.kept, sink, signature.isSigned(), keeping.charge);
    DownloadSink& first = keeper ? static_cast<DownloadSink&>(*keeper) : sink;
    SourceAttempt tried{source.stream(archive, first, progress, stop, limit), source.failure()};
    if (keeper) used = {keeper->resumed(), keeper->continued()};
    if (tried.result == DownloadResult::Done && !signature.judgeDownload(*file))
        tried = {DownloadResult::ReadFailed, signature.refusal(), true};
    if (tried.result != DownloadResult::Done) file.reset();
    return tried;
}

// One source's try at an archive read as it arrives, into a fresh sink.
SourceAttempt streamSigned(UpdateSource& source, const ServerRecord& server,
                           const std::string& archive, const std::optional<ContentDigest>& pinned,
                           ArchiveStream& stream, const ProgressSink& progress,
                           std::stop_token stop, std::uint64_t limit, const Keeping& keeping,
                           KeptUse& used) {
    used = {};
    SourceAttempt wholeFile;
    wholeFile.wholeFileNeeded = true;
    RemoteSignature signature(server, archive, pinned);
    if (auto failed = fetchSignature(source, signature, stop)) return *failed;
    if (!signature.judgesStream()) return wholeFile;
    DownloadSink* sink = stream.restart();
    if (sink == nullptr) return wholeFile;
    SignedSink signedSink(*sink, signature);
    // Kept bytes pass through the hash too: the signature covers exactly
    // the bytes that are unpacked.
    std::optional<KeepingSink> keeper;
    if (keeping.kept != nullptr)
        keeper.emplace(*keeping.kept, signedSink, signature.isSigned(), keeping.charge);
    DownloadSink& first = keeper ? static_cast<DownloadSink&>(*keeper) : signedSink;
    DownloadResult result = source.stream(archive, first, progress, stop, limit);
    if (keeper) used = {keeper->resumed(), keeper->continued()};
    const bool refusedBytes = !stream.finish();
    if (refusedBytes && result == DownloadResult::Done) result = DownloadResult::ReadFailed;
    if (result == DownloadResult::ReadFailed && stream.needsWholeFile()) return wholeFile;
    if (result != DownloadResult::Done) {
        SourceAttempt failed{result, source.failure(), false};
        failed.sinkRefused = refusedBytes;
        return failed;
    }
    if (!signature.judgeStream()) return {DownloadResult::ReadFailed, signature.refusal(), true};
    return {DownloadResult::Done, {}, false};
}

// One source's try with what an earlier run kept; when that try fails its
// check (a refused signature, bytes that cannot be unpacked), or the source
// cannot go on from the kept bytes (no REST, a failed continuation: not a
// byte came after them), the kept bytes are dropped and the source is asked
// again from zero, so that a bad kept file never sticks an installation.
// The kept file goes once the archive has arrived whole, accepted or not.
// `fromKept`: whether the try that counts went on from kept bytes.
template <typename Attempt>
SourceAttempt withKept(const Keeping& keeping, bool& fromKept, const Attempt& attempt) {
    KeptUse used;
    SourceAttempt tried = attempt(keeping, used);
    const bool notContinued =
        used.resumed && !used.continued && tried.result == DownloadResult::ReadFailed;
    if (used.resumed && (tried.refused || tried.sinkRefused || notContinued)) {
        keeping.kept->discard();
        tried = attempt(keeping, used);
    }
    fromKept = used.resumed;
    if (keeping.kept != nullptr && (tried.result == DownloadResult::Done || tried.refused))
        keeping.kept->remove();
    return tried;
}

}  // namespace

KeptDownload* SourceList::kept(const ServerRecord& server, const std::string& archive) {
    if (!cache_) cache_ = DownloadCache::open();
    if (!cache_) return nullptr;
    if (!kept_ || !kept_->usable() || keptArchive_ != archive) {
        kept_.reset();
        kept_ = cache_->keep(server, archive);
        keptArchive_ = archive;
    }
    return kept_.get();
}

void SourceList::pruneKept(const ServerRecord& server, const std::set<std::string>& listed) {
    if (!cache_) cache_ = DownloadCache::open();
    if (cache_) cache_->prune(server, listed);
}

bool usesMirrors(const ServerRecord& server) {
    return !server.signKeys.empty() && !server.mirrors.empty() && server.unusable.empty();
}

void SourceList::skip(Notifier& notifier, const std::string& mirror, const std::string& reason) {
    skipped_.insert(mirror);
    // The next source starts from zero: within a run no archive is made of
    // two sources' bytes. A later run may go on from any source, as the
    // signature judges the whole.
    if (kept_) kept_->discard();
    notifier.sourceSkipped(mirror, reason);
}

std::optional<std::string> SourceList::fetchVersionScript(Notifier& notifier,
                                                          const ServerRecord& server,
                                                          std::stop_token stop) {
    const bool mirrored = usesMirrors(server);
    if (mirrored) {
        for (const std::string& mirror : server.mirrors) {
            if (skipped(mirror)) continue;
            MirrorUpdateSource source(mirror, mirrorOptions(kVersionFetchTimeLimit));
            HeldNotifier held;
            auto script = gd::fetchVersionScript(held, source, server, stop);
            if (script) {
                notifier.served(kVersionScriptName, source.name());
                return script;
            }
            if (stop.stop_requested()) return std::nullopt;
            // A mirror that does not answer has refused nothing.
            const std::string why = !source.failure().empty() ? source.failure() : held.reason();
            skip(notifier, mirror,
                 why.empty() ? std::string(kVersionScriptName) + " cannot be fetched" : why);
        }
    }
    FtpSession session(FtpTimeouts{.total = kVersionFetchTimeLimit});
    if (!session.Open(server, stop)) {
        explainOpenFailure(notifier, session);
        return std::nullopt;
    }
    FtpUpdateSource source(session, server);
    auto script = gd::fetchVersionScript(notifier, source, server, stop);
    if (script) notifier.served(kVersionScriptName, source.name());
    return script;
}

std::optional<std::string> SourceList::readArchiveHead(Notifier& notifier,
                                                       const ServerRecord& server,
                                                       const std::string& archive,
                                                       std::size_t limit, std::stop_token stop) {
    for (const std::string& mirror :
         usesMirrors(server) ? server.mirrors : std::vector<std::string>{}) {
        if (skipped(mirror)) continue;
        MirrorUpdateSource source(mirror, mirrorOptions(kVersionFetchTimeLimit));
        if (auto head = source.readHead(archive, limit, stop)) return head;
        if (stop.stop_requested()) return std::nullopt;
        skip(notifier, mirror,
             source.failure().empty() ? archive + " cannot be fetched" : source.failure());
    }
    FtpSession session(FtpTimeouts{.total = kVersionFetchTimeLimit});
    if (!session.Open(server, stop)) return std::nullopt;
    FtpUpdateSource source(session, server);
    return source.readHead(archive, limit, stop);
}

SourceAttempt SourceList::fetchFromSources(Notifier& notifier, const ServerRecord& server,
                                           const std::string& archive, std::stop_token stop,
                                           const AttemptAt& attempt) {
    const bool mirrored = usesMirrors(server);
    for (const std::string& mirror : mirrored ? server.mirrors : std::vector<std::string>{}) {
        if (skipped(mirror)) continue;
        MirrorUpdateSource source(mirror, mirrorOptions(std::chrono::seconds{0}));
        const SourceAttempt tried = attempt(source);
        if (tried.result == DownloadResult::Done) notifier.served(archive, source.name());
        if (tried.result == DownloadResult::Done || tried.result == DownloadResult::Cancelled ||
            tried.wholeFileNeeded)
            return tried;
        skip(notifier, mirror,
             tried.reason.empty() ? archive + " cannot be fetched" : tried.reason);
    }
    FtpSession session;
    if (!session.Open(server, stop)) {
        explainOpenFailure(notifier, session);
        return {};
    }
    FtpUpdateSource source(session, server);
    const SourceAttempt tried = attempt(source);
    if (tried.wholeFileNeeded) return tried;
    if (tried.result == DownloadResult::Done) {
        notifier.served(archive, source.name());
    } else if (tried.refused) {
        notifier.refused(tried.reason);
        notifier.showMessage(kErrorCaption, kDownloadFailedMessage);
    } else if (tried.result == DownloadResult::ReadFailed ||
               tried.result == DownloadResult::TooLarge) {
        notifier.unreachable(archive + " cannot be downloaded from " + source.name());
        notifier.showMessage(kErrorCaption, kDownloadFailedMessage);
    } else if (tried.result == DownloadResult::NotOpened) {
        notifier.unreachable(archive + " cannot be fetched from " + source.name());
    }
    return tried;
}

DownloadResult SourceList::fetchArchive(Notifier& notifier, const ServerRecord& server,
                                        const std::string& archive,
                                        std::optional<ContentDigest> pinned,
                                        const std::filesystem::path& localPath,
                                        std::optional<FileDownloadSink>& file,
                                        const ProgressSink& progress, std::stop_token stop,
                                        std::uint64_t limit, const KeepingSink::Charge& charge) {
    const Keeping keeping{kept(server, archive), charge};
    return fetchFromSources(
               notifier, server, archive, stop,
               [&](UpdateSource& source) {
                   return withKept(keeping, keptBytesUsed_, [&](const Keeping& k, KeptUse& used) {
                       return fetchSigned(source, server, archive, pinned, localPath, file,
                                          progress, stop, limit, k, used);
                   });
               })
        .result;
}

StreamEnd SourceList::streamArchive(Notifier& notifier, const ServerRecord& server,
                                    const std::string& archive, std::optional<ContentDigest> pinned,
                                    ArchiveStream& stream, const ProgressSink& progress,
                                    std::stop_token stop, std::uint64_t limit,
                                    const KeepingSink::Charge& charge) {
    const Keeping keeping{kept(server, archive), charge};
    const SourceAttempt tried =
        fetchFromSources(notifier, server, archive, stop, [&](UpdateSource& source) {
            return withKept(keeping, keptBytesUsed_, [&](const Keeping& k, KeptUse& used) {
                return streamSigned(source, server, archive, pinned, stream, progress, stop, limit,
                                    k, used);
            });
        });
    if (tried.wholeFileNeeded) return StreamEnd::WholeFileNeeded;
    return tried.result == DownloadResult::Done ? StreamEnd::Done : StreamEnd::Failed;
}

}  // namespace gd

#include "fetch/source_list.h"

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

// Passes a download on, hashed on its way for the signature.
class SignedSink : public DownloadSink {
  public:
    SignedSink(DownloadSink& next, RemoteSignature& signature)
        : next_(next), signature_(signature) {}
    bool accept(std::span<const char> bytes) override {
        signature_.addBytes(bytes);
        return next_.accept(bytes);
    }
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

// One source's try at an archive in a file, judged whole however many
// resumptions it took.
SourceAttempt fetchSigned(UpdateSource& source, const ServerRecord& server,
                          const std::string& archive, const std::filesystem::path& localPath,
                          const ProgressSink& progress, std::stop_token stop, std::uint64_t limit) {
    RemoteSignature signature(server, archive);
    if (auto failed = fetchSignature(source, signature, stop)) return *failed;
    signature.followDownload(localPath);
    const DownloadResult result = source.download(archive, localPath, progress, stop, limit);
    if (result != DownloadResult::Done) return {result, source.failure(), false};
    if (!signature.judgeFile(localPath))
        return {DownloadResult::ReadFailed, signature.refusal(), true};
    return {DownloadResult::Done, {}, false};
}

// One source's try at an archive read as it arrives, into a fresh sink.
SourceAttempt streamSigned(UpdateSource& source, const ServerRecord& server,
                           const std::string& archive, ArchiveStream& stream,
                           const ProgressSink& progress, std::stop_token stop,
                           std::uint64_t limit) {
    SourceAttempt wholeFile;
    wholeFile.wholeFileNeeded = true;
    RemoteSignature signature(server, archive);
    if (auto failed = fetchSignature(source, signature, stop)) return *failed;
    if (!signature.judgesStream()) return wholeFile;
    DownloadSink* sink = stream.restart();
    if (sink == nullptr) return wholeFile;
    SignedSink signedSink(*sink, signature);
    DownloadResult result = source.stream(archive, signedSink, progress, stop, limit);
    if (!stream.finish() && result == DownloadResult::Done) result = DownloadResult::ReadFailed;
    if (result == DownloadResult::ReadFailed && stream.needsWholeFile()) return wholeFile;
    if (result != DownloadResult::Done) return {result, source.failure(), false};
    if (!signature.judgeStream()) return {DownloadResult::ReadFailed, signature.refusal(), true};
    return {DownloadResult::Done, {}, false};
}

}  // namespace

bool usesMirrors(const ServerRecord& server) {
    return !server.signKeys.empty() && !server.mirrors.empty() && server.unusable.empty();
}

void SourceList::skip(Notifier& notifier, const std::string& mirror, const std::string& reason) {
    skipped_.insert(mirror);
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
                                        const std::filesystem::path& localPath,
                                        const ProgressSink& progress, std::stop_token stop,
                                        std::uint64_t limit) {
    return fetchFromSources(notifier, server, archive, stop,
                            [&](UpdateSource& source) {
                                return fetchSigned(source, server, archive, localPath, progress,
                                                   stop, limit);
                            })
        .result;
}

StreamEnd SourceList::streamArchive(Notifier& notifier, const ServerRecord& server,
                                    const std::string& archive, ArchiveStream& stream,
                                    const ProgressSink& progress, std::stop_token stop,
                                    std::uint64_t limit) {
    const SourceAttempt tried =
        fetchFromSources(notifier, server, archive, stop, [&](UpdateSource& source) {
            return streamSigned(source, server, archive, stream, progress, stop, limit);
        });
    if (tried.wholeFileNeeded) return StreamEnd::WholeFileNeeded;
    return tried.result == DownloadResult::Done ? StreamEnd::Done : StreamEnd::Failed;
}

}  // namespace gd

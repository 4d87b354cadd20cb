#include "update/source_list.h"

#include "script/notifier.h"
#include "script/version_manifest.h"
#include "update/trusted_fetch.h"
#include "update/update_report.h"
#include "update/update_source.h"

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

struct Attempt {
    DownloadResult result = DownloadResult::NotOpened;
    std::string reason;    // why it failed, in plain words
    bool refused = false;  // the signature or the file was refused
};

// One source's try at an archive: its signature first (a refused one costs
// no download), then the file, judged whole however many resumptions it took.
Attempt fetchSigned(UpdateSource& source, const ServerRecord& server, const std::string& archive,
                    const std::filesystem::path& localPath, const ProgressSink& progress,
                    std::stop_token stop, std::uint64_t limit) {
    RemoteSignature signature(server, archive);
    if (!signature.fetch(source, stop)) {
        if (stop.stop_requested()) return {DownloadResult::Cancelled, {}, false};
        const std::string failure = source.failure();
        // A source that does not answer has refused nothing; one that
        // answers without the signature has.
        if (!failure.empty()) return {DownloadResult::NotOpened, failure, false};
        return {DownloadResult::ReadFailed, signature.refusal(), true};
    }
    signature.followDownload(localPath);
    const DownloadResult result = source.download(archive, localPath, progress, stop, limit);
    if (result != DownloadResult::Done) return {result, source.failure(), false};
    if (!signature.judgeFile(localPath))
        return {DownloadResult::ReadFailed, signature.refusal(), true};
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
        explainTlsFailure(notifier, session);
        return std::nullopt;
    }
    FtpUpdateSource source(session, server);
    auto script = gd::fetchVersionScript(notifier, source, server, stop);
    if (script && mirrored) notifier.served(kVersionScriptName, source.name());
    return script;
}

DownloadResult SourceList::fetchArchive(Notifier& notifier, const ServerRecord& server,
                                        const std::string& archive,
                                        const std::filesystem::path& localPath,
                                        const ProgressSink& progress, std::stop_token stop,
                                        std::uint64_t limit) {
    for (const std::string& mirror : server.mirrors) {
        if (skipped(mirror)) continue;
        MirrorUpdateSource source(mirror, mirrorOptions(std::chrono::seconds{0}));
        const Attempt attempt =
            fetchSigned(source, server, archive, localPath, progress, stop, limit);
        if (attempt.result == DownloadResult::Done) {
            notifier.served(archive, source.name());
            return attempt.result;
        }
        if (attempt.result == DownloadResult::Cancelled) return attempt.result;
        skip(notifier, mirror,
             attempt.reason.empty() ? archive + " cannot be fetched" : attempt.reason);
    }
    FtpSession session;
    if (!session.Open(server, stop)) {
        explainTlsFailure(notifier, session);
        return DownloadResult::NotOpened;
    }
    FtpUpdateSource source(session, server);
    const Attempt attempt = fetchSigned(source, server, archive, localPath, progress, stop, limit);
    if (attempt.result == DownloadResult::Done) {
        notifier.served(archive, source.name());
    } else if (attempt.refused) {
        notifier.refused(attempt.reason);
        notifier.showMessage(kErrorCaption, kDownloadFailedMessage);
    } else if (attempt.result == DownloadResult::ReadFailed ||
               attempt.result == DownloadResult::TooLarge) {
        notifier.showMessage(kErrorCaption, kDownloadFailedMessage);
    }
    return attempt.result;
}

}  // namespace gd

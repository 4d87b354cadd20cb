#include "fetch/trusted_fetch.h"

#include "fetch/file_download_sink.h"
#include "fetch/ftp_session.h"
#include "fetch/update_source.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "util/mapped_file.h"

#include <ctime>

namespace gd {

bool settingsUsable(Notifier& notifier, const ServerRecord& server) {
    if (server.unusable.empty()) return true;
    notifier.refused("config.dat cannot be used: " + server.unusable);
    notifier.showMessage(kErrorCaption, kUnusableSettingsMessage);
    return false;
}

void explainOpenFailure(Notifier& notifier, const FtpSession& session) {
    if (!session.tlsFailure().empty()) {
        notifier.refused(session.tlsFailure());
    } else if (!session.failure().empty()) {
        notifier.unreachable(session.failure());
    }
}

RemoteSignature::RemoteSignature(const ServerRecord& server, std::string_view remoteName,
                                 std::optional<ContentDigest> pinned)
    : isSigned_(!server.signKeys.empty()),
      remoteName_(remoteName),
      check_(server.signKeys,
             expectationsFor(remoteName, std::time(nullptr), server.ftpPath, pinned)) {}

bool RemoteSignature::fetch(FtpSession& session, std::stop_token stop) {
    ServerRecord unused;
    FtpUpdateSource source(session, unused);
    return fetch(source, std::move(stop));
}

bool RemoteSignature::fetch(UpdateSource& source, std::stop_token stop) {
    if (!isSigned_) return true;
    const auto text = source.readHead(signatureNameFor(remoteName_), kSignatureFileLimit + 1, stop);
    if (!text) return check_.judgeSignatureFile(std::nullopt);
    return check_.judgeSignatureFile(*text);
}

void RemoteSignature::addBytes(std::span<const char> bytes) {
    if (!isSigned_ || !check_.signsHash()) return;
    if (!stream_) stream_ = std::make_unique<ContentHasher>();
    stream_->add(bytes.data(), bytes.size());
}

bool RemoteSignature::judgeStream() {
    if (!isSigned_) return true;
    if (!stream_) stream_ = std::make_unique<ContentHasher>();
    const ContentHash hash = stream_->finish();
    stream_.reset();
    return check_.judgeHash(hash);
}

bool RemoteSignature::judgeDownload(const FileDownloadSink& file) {
    if (!isSigned_ || check_.signsHash()) return judgeStream();
    // The legacy algorithm signs the content itself, which it needs in one piece.
    const MappedFile written(file.fd());
    if (!written.ok()) return check_.refuseContent("the download cannot be read back");
    return check_.judgeContent(written.bytes());
}

bool RemoteSignature::judgeBytes(std::string_view bytes) {
    return !isSigned_ || check_.judgeContent(bytes);
}

bool RemoteSignature::reportRefusal(Notifier& notifier, std::string_view box) const {
    notifier.refused(check_.refusal());
    notifier.showMessage(kErrorCaption, box);
    return false;
}

std::optional<std::string> fetchVersionScript(Notifier& notifier, FtpSession& session,
                                              const ServerRecord& server, std::stop_token stop) {
    FtpUpdateSource source(session, server);
    return fetchVersionScript(notifier, source, server, std::move(stop));
}

namespace {

// The list's first `limit` bytes, or nullopt after saying why they could not
// be had (a stop says nothing).
std::optional<std::string> readVersionScript(Notifier& notifier, UpdateSource& source,
                                             std::size_t limit, std::stop_token stop) {
    auto script = source.readHead(kVersionScriptName, limit, stop);
    if (script || stop.stop_requested()) return script;
    const std::string failure = source.failure();
    notifier.unreachable(std::string(kVersionScriptName) + " cannot be fetched from " +
                         source.name() + (failure.empty() ? "" : ": " + failure));
    return std::nullopt;
}

}  // namespace

std::optional<std::string> fetchVersionScript(Notifier& notifier, UpdateSource& source,
                                              const ServerRecord& server, std::stop_token stop) {
    RemoteSignature signature(server, kVersionScriptName);
    if (!signature.isSigned())
        return readVersionScript(notifier, source, kVersionScriptLimit, stop);

    if (!signature.fetch(source, stop)) {
        signature.reportRefusal(notifier, kVersionScriptLoadError);
        return std::nullopt;
    }
    // One byte more than is evaluated tells a list that is too long: a
    // signature covers the whole file, and a shortened one is not what was signed.
    auto script = readVersionScript(notifier, source, kVersionScriptLimit + 1, stop);
    if (!script) return std::nullopt;
    if (script->size() > kVersionScriptLimit) {
        notifier.refused(std::string("signature of ") + kVersionScriptName +
                         " refused: " + kVersionScriptName + " is longer than the " +
                         std::to_string(kVersionScriptLimit) + " bytes the launcher reads");
        notifier.showMessage(kErrorCaption, kVersionScriptLoadError);
        return std::nullopt;
    }
    if (!signature.judgeBytes(*script)) {
        signature.reportRefusal(notifier, kVersionScriptLoadError);
        return std::nullopt;
    }
    return script;
}

}  // namespace gd

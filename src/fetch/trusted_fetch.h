// What a signed installation adds to fetching from the update directory:
// the signature beside each file (NAME.minisig) is fetched and judged before
// the file, and the file is judged once it has arrived, before anything
// evaluates or unpacks it. An unsigned installation (no key pinned) fetches
// exactly as it always has.
#pragma once

#include "script/launcher_config.h"
#include "trust/content_digest.h"
#include "trust/content_hash.h"
#include "trust/signature_check.h"

#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

namespace gd {

class FileDownloadSink;
class FtpSession;
class Notifier;
class UpdateSource;

// The box for settings in config.dat that cannot be used, caption "エラー".
inline constexpr std::string_view kUnusableSettingsMessage =
    "設定ファイル(config.dat)の内容が正しくないため、アップデートを確認できません。";

// False, after saying why (refused) and the box, when server.unusable is set.
bool settingsUsable(Notifier& notifier, const ServerRecord& server);
// Says why the session's last Open failed: a TLS failure as a refusal, any
// other as the server being unreachable.
void explainOpenFailure(Notifier& notifier, const FtpSession& session);

// The version list as the launcher evaluates it, still enciphered: unsigned,
// its first 4096 bytes; signed, the whole file, which must then be no longer
// than that, once its signature is accepted. nullopt when it cannot be had
// (said as unreachable) or was refused; a refusal is said (refused) and
// shown with the box of a list that cannot be fetched.
std::optional<std::string> fetchVersionScript(Notifier& notifier, FtpSession& session,
                                              const ServerRecord& server,
                                              std::stop_token stop = {});
// The same from any source of the update directory.
std::optional<std::string> fetchVersionScript(Notifier& notifier, UpdateSource& source,
                                              const ServerRecord& server,
                                              std::stop_token stop = {});

// The signature of one file in the update directory, in the two steps of a
// download. Without pinned keys every step passes at once. Signed, the file
// must also be meant for this installation: the version list for its update
// folder (when its signature names folders), an archive with the content
// that the signed list pins (`pinned`), judged on the same hash.
class RemoteSignature {
  public:
    RemoteSignature(const ServerRecord& server, std::string_view remoteName,
                    std::optional<ContentDigest> pinned = std::nullopt);

    bool isSigned() const { return isSigned_; }
    // Fetches and judges remoteName.minisig (at most kSignatureFileLimit + 1
    // bytes of it are read).
    bool fetch(FtpSession& session, std::stop_token stop = {});
    bool fetch(UpdateSource& source, std::stop_token stop = {});
    // Whether the bytes can be judged as they pass, without a file: always
    // unsigned, and where the signature signs the content's hash.
    bool judgesStream() const { return !isSigned_ || check_.signsHash(); }
    // Hashes the next bytes of a download, as they are written.
    void addBytes(std::span<const char> bytes);
    // Judges the bytes that addBytes saw, once they are the whole file.
    bool judgeStream();
    // Judges a download kept in `file` once it has arrived whole: by the
    // hash addBytes took of the bytes written into it or, for a signature
    // of the content itself, by those bytes read back through the
    // descriptor they were written through. Never by a path.
    bool judgeDownload(const FileDownloadSink& file);
    bool judgeBytes(std::string_view bytes);
    // Says the refusal and shows `box`; returns false for the caller's return.
    bool reportRefusal(Notifier& notifier, std::string_view box) const;
    // Why the signature or the file was refused, in plain words.
    std::string refusal() const { return check_.refusal(); }

  private:
    bool isSigned_;
    std::string remoteName_;
    SignatureCheck check_;
    std::unique_ptr<ContentHasher> stream_;  // the hashed bytes, if any
};

}  // namespace gd

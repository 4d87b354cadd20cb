#include "publish/audit.h"

#include "publish/audit_script.h"
#include "publish/catch_up.h"
#include "publish/key_files.h"
#include "publish/release_record.h"

#include "install/install_paths.h"
#include "script/encrypted_script.h"
#include "script/notifier.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/content_digest.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"
#include "trust/trusted_comment.h"
#include "update/delta_pack.h"
#include "update/run_directory.h"
#include "update/update_archive.h"
#include "util/fd_io.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

class RecordingNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    }
    std::vector<std::string> messages;
};

// How long before its signature expires a version list is worth a warning:
// a weekly re-signing never sees one.
constexpr std::int64_t kExpiryWarning = 7 * 24 * 60 * 60;

std::string utcText(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

class Audit {
  public:
    Audit(fs::path serverDir, fs::path shown, std::vector<gd::PublicKey> keys, AuditReport& report)
        : dir_(std::move(serverDir)),
          shown_(std::move(shown)),
          keys_(std::move(keys)),
          report_(report) {}

    // Without keys, or when `bytes` (all of filelist.dat) carry a signature
    // by one of them that the launcher would accept: whether it may be run.
    bool trustVersionScript(const std::string& bytes) {
        if (keys_.empty()) return true;
        std::string refusal;
        auto check = judgedSignature(kVersionScriptName, refusal);
        if (check && check->judgeContent(bytes)) return true;
        problem(std::string(kVersionScriptName) + ": " + (check ? check->refusal() : refusal) +
                "; not evaluated, so no archive was checked");
        return false;
    }

    // The rules beside the chain: delta archives, staged releases, bridges
    // and pins.
    void setRules(gd::VersionRules rules) {
        rules_ = std::move(rules);
        for (const gd::StageRule& stage : rules_.stages) {
            staged_[stage.version] = stage.from;
            stagedArchives_.push_back(stage.archive);
            report_.staged.push_back({shortVersion(stage.version), stage.share, stage.channel});
        }
        for (const gd::BridgeRule& bridge : rules_.bridges) {
            bridges_.insert({bridge.from, bridge.to});
            stagedArchives_.push_back(bridge.archive);
        }
    }
    const gd::VersionRules& rules() const { return rules_; }

    // The staged releases and bridges that the list's rules must offer as
    // the record has them.
    void compareWithRecord(const std::vector<Release>& releases, std::string_view script) {
        if (linesWith(script, {gd::kStageRulePrefix, gd::kBridgeRulePrefix}) !=
            versionRulesText(releases, {}, {}))
            problem(std::string(kVersionScriptName) +
                    ": its staged releases and bridges are not "
                    "what " +
                    kRecordName + " makes");
    }

    // Evaluates the version script as a launcher at `installed` would and
    // remembers the archives it lists; the versions the list reaches from there.
    std::set<float> evaluate(const std::string& script, float installed) {
        RecordingNotifier notifier;
        gd::VersionManifest manifest;
        gd::runVersionScript(notifier, script, installed, manifest);
        std::set<float> reached;
        const std::string at = "at version " + gd::formatVersion(installed) + ": ";
        for (const std::string& message : notifier.messages) problem(at + message);
        // A list that would take an installation back is refused by the
        // engine itself, and so reported above as a message.
        for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
            const gd::PatchEntry& entry = manifest.entryAt(i);
            archives_.insert(entry.archive);
            listedVersions_.insert(entry.version);
            reached.insert(entry.version);
        }
        return reached;
    }

    // The chain's archives, as every launcher takes them, then the delta
    // archives that launchers which read the rules take instead: each must
    // stand in for whole-file archives that an installation at its version
    // can fall back to.
    void checkArchives(const std::string& script) {
        for (const std::string& archive : archives_) checkArchive(archive);
        for (const std::string& archive : stagedArchives_) checkArchive(archive);
        for (const gd::DeltaRule& rule : rules_.deltas) {
            if (!fallsBack(script, rule.from, rule.to)) {
                problem(rule.archive + ": offered from " + gd::formatVersion(rule.from) + " to " +
                        gd::formatVersion(rule.to) +
                        ", but the chain from there lists no whole-file archive of that version "
                        "to fall back to");
            }
            checkArchive(rule.archive, rule.format);
        }
    }

    // When filelist.dat's signature expires launchers refuse the list, and
    // so see no update: an expired one is a problem, one that expires within
    // kExpiryWarning a warning. Without a signature there is nothing to say.
    void checkListExpiry() {
        const auto text =
            readSmallFile(dir_ / gd::signatureNameFor(kVersionScriptName), gd::kSignatureFileLimit);
        const auto signature = text ? gd::parseSignatureFile(*text) : std::nullopt;
        if (!signature) return;
        const gd::TrustedComment comment = gd::readTrustedComment(signature->trustedComment);
        const auto expires = comment.expires ? gd::parseUnixTime(*comment.expires) : std::nullopt;
        if (!expires) return;
        const std::int64_t now = std::time(nullptr);
        const std::string list = std::string(kVersionScriptName) + ": ";
        const std::string redo =
            "; sign it anew with gdtool resign " + shown_.string() + " SECFILE";
        if (*expires <= now) {
            problem(list + "its signature expired at " + utcText(*expires) +
                    ", and launchers refuse it" + redo);
        } else if (*expires - now <= kExpiryWarning) {
            report_.findings.push_back({true, list + "its signature expires at " +
                                                  utcText(*expires) + ", within 7 days" + redo});
        }
    }

    void problem(const std::string& line) { report_.findings.push_back({false, line}); }

    const std::set<float>& listedVersions() const { return listedVersions_; }
    std::size_t archiveCount() const { return archives_.size(); }

  private:
    // Whether an installation at `from` that cannot use a delta archive to
    // `to` has whole-file archives there: the chain's, a staged release's
    // after the chain, or a bridge.
    bool fallsBack(const std::string& script, float from, float to) {
        const std::set<float> chain = evaluate(script, from);
        if (chain.contains(to) || bridges_.contains({from, to})) return true;
        const auto staged = staged_.find(to);
        return staged != staged_.end() &&
               (staged->second == from || chain.contains(staged->second));
    }

    // The signature file of `name` judged as the launcher judges it, the
    // content still to come; nullopt with the refusal when it is refused.
    std::optional<gd::SignatureCheck> judgedSignature(const std::string& name,
                                                      std::string& refusal) {
        gd::SignatureCheck check(keys_, gd::expectationsFor(name, std::time(nullptr)));
        if (check.judgeSignatureFile(
                readSmallFile(dir_ / gd::signatureNameFor(name), gd::kSignatureFileLimit)))
            return check;
        refusal = check.refusal();
        return std::nullopt;
    }

    // A private copy of the archive, which nobody else can change between
    // the check of its signature and its unpacking.
    bool copyArchive(const std::string& archive, const fs::path& copy) {
        // Not blocking: a FIFO listed as an archive must not hang the audit.
        const gd::UniqueFd from(
            ::open((dir_ / archive).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!from || ::fstat(from.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            problem(archive + ": listed but not in " + shown_.string());
            return false;
        }
        const gd::UniqueFd to(
            ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!to || gd::copyContents(from.get(), to.get()) != gd::CopyResult::Done) {
            problem(archive + ": cannot be copied under the temporary directory");
            return false;
        }
        return true;
    }

    // `listedFormat`: a delta archive's, as its rule gives it.
    void checkArchive(const std::string& archive,
                      std::optional<unsigned> listedFormat = std::nullopt) {
        std::optional<gd::SignatureCheck> check;
        std::string refusal;
        if (!keys_.empty() && !(check = judgedSignature(archive, refusal))) {
            problem(archive + ": " + refusal + "; not unpacked");
            return;
        }
        const gd::RunDirectory run;
        const fs::path copy = run.path() / "archive.zip";
        const fs::path unpacked = run.path() / "unpacked";
        std::error_code error;
        if (!run || !fs::create_directory(unpacked, error)) {
            problem(archive + ": no room under the temporary directory to unpack it");
            return;
        }
        if (!copyArchive(archive, copy)) return;
        if (check && !check->judgeFile(copy)) {
            problem(archive + ": " + check->refusal() + "; not unpacked");
            return;
        }
        if (const auto pin = rules_.digestFor(archive); pin && gd::digestFile(copy) != pin) {
            problem(archive + ": not the file that " + kVersionScriptName +
                    " pins; launchers refuse it");
            return;
        }
        const auto contents = gd::UnpackArchive(copy, unpacked);
        if (!contents || !contents->script) {
            problem(archive + ": not a readable zip archive with an update.dat");
            return;
        }
        std::set<std::string> rebuilt;
        unsigned format = 0;
        if (listedFormat && !readRebuilt(unpacked, rebuilt, format)) {
            problem(archive + ": its " + std::string(gd::kDeltaPackEntry) + " cannot be read");
            return;
        }
        if (listedFormat && format > *listedFormat)
            problem(archive + ": its " + std::string(gd::kDeltaPackEntry) + " is of format " +
                    std::to_string(format) + ", but " + kVersionScriptName + " offers it as " +
                    std::to_string(*listedFormat) +
                    "; launchers that read only that one download it for nothing");
        checkScript(archive, unpacked, unpacked / *contents->script, *contents, rebuilt);
    }

    // The files a delta archive's pack rebuilds, as full paths, and its format.
    static bool readRebuilt(const fs::path& unpacked, std::set<std::string>& rebuilt,
                            unsigned& format) {
        const gd::UniqueFd pack(
            ::open((unpacked / gd::kDeltaPackEntry).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        const auto deltas =
            pack && ::fstat(pack.get(), &info) == 0
                ? gd::readDeltaPack(pack.get(), static_cast<std::uint64_t>(info.st_size))
                : std::nullopt;
        if (!deltas) return false;
        format = deltas->format();
        for (const gd::DeltaFile& file : deltas->files)
            rebuilt.insert((unpacked / file.target).lexically_normal().string());
        return true;
    }

    void checkScript(const std::string& archive, const fs::path& unpacked, const fs::path& script,
                     const gd::UnpackedArchive& contents, const std::set<std::string>& rebuilt) {
        const AuditedScript audited = auditUpdateScript(script, contents);
        if (!audited.failure.empty()) {
            problem(archive + ": update.dat " + audited.failure +
                    " (the audit gives it no io, no load, loadstring, dofile or require, of "
                    "os only the time functions and of debug only traceback and getinfo)");
            return;
        }
        std::error_code error;
        const auto held = [&](const fs::path& file) {
            return fs::is_regular_file(file, error) ||
                   rebuilt.contains(file.lexically_normal().string());
        };
        for (const std::string& source : audited.copySources) {
            if (!held(source))
                problem(archive + ": copies " +
                        fs::path(source).lexically_relative(unpacked).string() +
                        ", which the archive does not hold");
        }
        if (audited.launcherUpdate && !held(audited.launcherSource) &&
            !held(script.parent_path() / gd::kLauncherExecutable))
            problem(archive + ": replaces the launcher, but holds no " + gd::kLauncherExecutable +
                    " beside update.dat");
    }

    fs::path dir_;
    fs::path shown_;  // the name of dir_ in what is said
    std::vector<gd::PublicKey> keys_;
    AuditReport& report_;
    std::set<std::string> archives_;
    std::map<float, float> staged_;              // staged version -> the version it starts from
    std::set<std::pair<float, float>> bridges_;  // from, to
    std::vector<std::string> stagedArchives_;    // staged releases' and bridges'
    std::set<float> listedVersions_;
    gd::VersionRules rules_;
};

std::optional<std::vector<Release>> recordedReleases(const fs::path& dir, Audit& audit) {
    const auto text = readServerFile(dir / kRecordName);
    std::error_code error;
    if (!text && fs::exists(fs::symlink_status(dir / kRecordName, error)))
        audit.problem(std::string(kRecordName) + ": not a plain file that can be read");
    if (!text) return std::nullopt;
    std::string problem;
    auto releases = parseRecord(*text, problem);
    if (!releases) audit.problem(std::string(kRecordName) + ": " + problem);
    return releases;
}

}  // namespace

bool AuditReport::faulty() const {
    return std::any_of(findings.begin(), findings.end(),
                       [](const AuditFinding& finding) { return !finding.warning; });
}

AuditReport auditServer(const fs::path& dir, std::vector<gd::PublicKey> keys,
                        const fs::path& shownAs) {
    AuditReport report;
    std::error_code error;
    if (!fs::is_regular_file(dir / kVersionScriptName, error)) {
        report.listMissing = true;
        return report;
    }
    Audit audit(dir, shownAs.empty() ? dir : shownAs, std::move(keys), report);
    std::string script = readServerFile(dir / kVersionScriptName).value_or("");
    if (!audit.trustVersionScript(script)) {
        report.listRefused = true;
        return report;
    }
    audit.checkListExpiry();
    if (script.size() > gd::kVersionScriptLimit) {
        audit.problem(std::string(kVersionScriptName) + ": " + std::to_string(script.size()) +
                      " bytes, of which launchers read only the first 4096");
        script.resize(gd::kVersionScriptLimit);
    }
    gd::ScriptCipher::decrypt(script.data(), script.size());

    // Every version an installation can be at: before any release, at each
    // recorded one, and at each one the script lists.
    std::set<float> versions{0.0f};
    // Rules ride in comments: every launcher evaluates the same chain, and
    // those that read the rules may take delta archives and staged
    // releases instead.
    audit.setRules(gd::parseVersionRules(script));
    if (const auto releases = recordedReleases(dir, audit)) {
        for (const Release& release : *releases)
            versions.insert(gd::readVersionNumber(release.version, 0));
        if (!releases->empty() && withoutRules(script) != versionScriptText(*releases))
            audit.problem(std::string(kVersionScriptName) + ": not what " + kRecordName + " makes");
        audit.compareWithRecord(*releases, script);
    }
    for (const gd::DeltaRule& rule : audit.rules().deltas) versions.insert(rule.from);
    audit.evaluate(script, 0.0f);
    versions.insert(audit.listedVersions().begin(), audit.listedVersions().end());
    for (const float version : versions) audit.evaluate(script, version);
    audit.checkArchives(script);

    report.versions = versions.size();
    report.archives = audit.archiveCount();
    report.deltaArchives = audit.rules().deltas.size();
    return report;
}

}  // namespace gd::publish

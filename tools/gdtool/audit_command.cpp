// audit: checks a server's update directory the way launchers will use it.

#include "commands.h"
#include "key_files.h"
#include "release_record.h"
#include "release_signing.h"

#include "script/encrypted_script.h"
#include "script/notifier.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "update/patch.h"
#include "update/run_directory.h"
#include "update/update_archive.h"
#include "update/update_script.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

class RecordingNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    }
    std::vector<std::string> messages;
};

class Audit {
  public:
    explicit Audit(fs::path serverDir) : dir_(std::move(serverDir)) {}

    // Evaluates the version script as a launcher at `installed` would and
    // remembers the archives it lists.
    void evaluate(const std::string& script, float installed) {
        RecordingNotifier notifier;
        gd::VersionManifest manifest;
        gd::runVersionScript(notifier, script, installed, manifest);
        const std::string at = "at version " + gd::formatVersion(installed) + ": ";
        for (const std::string& message : notifier.messages) problem(at + message);
        // A list that would take an installation back is refused by the
        // engine itself, and so reported above as a message.
        for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
            const gd::PatchEntry& entry = manifest.entryAt(i);
            archives_.insert(entry.archive);
            listedVersions_.insert(entry.version);
        }
    }

    void checkArchives() {
        for (const std::string& archive : archives_) checkArchive(archive);
    }

    // Every published file the launcher fetches, as the launcher checks it.
    void checkSignatures(const gd::PublicKey& publicKey) {
        std::string error;
        if (!verifyPublishedFile(publicKey, dir_ / kVersionScriptName, error))
            problem(std::string(kVersionScriptName) + ": " + error);
        for (const std::string& archive : archives_) {
            if (!verifyPublishedFile(publicKey, dir_ / archive, error))
                problem(archive + ": " + error);
        }
    }

    void problem(const std::string& line) {
        std::cout << line << '\n';
        ++problems_;
    }

    const std::set<float>& listedVersions() const { return listedVersions_; }
    std::size_t archiveCount() const { return archives_.size(); }
    int problems() const { return problems_; }

  private:
    void checkArchive(const std::string& archive) {
        std::error_code error;
        if (!fs::is_regular_file(dir_ / archive, error)) {
            problem(archive + ": listed but not in " + dir_.string());
            return;
        }
        const gd::RunDirectory run;
        const fs::path unpacked = run.path() / "unpacked";
        const fs::path target = run.path() / "installation";
        if (!run || !fs::create_directory(unpacked, error) ||
            !fs::create_directory(target, error)) {
            problem(archive + ": no room under the temporary directory to unpack it");
            return;
        }
        const auto contents = gd::UnpackArchive(dir_ / archive, unpacked);
        if (!contents) {
            problem(archive + ": not a readable zip archive with an update.dat");
            return;
        }
        gd::VersionManifest manifest;
        gd::PatchQueue queue;
        if (!contents->script ||
            !gd::RunUpdateScript(unpacked / *contents->script, target.string() + "/", manifest,
                                 queue, contents->withoutPermissions)) {
            problem(archive + ": update.dat does not load or its updater fails");
            return;
        }
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const auto* copy = dynamic_cast<const gd::CPatchCopy*>(&queue.at(i));
            if (copy != nullptr && !fs::is_regular_file(copy->source(), error)) {
                problem(archive + ": copies " +
                        fs::path(copy->source()).lexically_relative(unpacked).string() +
                        ", which the archive does not hold");
            }
        }
    }

    fs::path dir_;
    std::set<std::string> archives_;
    std::set<float> listedVersions_;
    int problems_ = 0;
};

std::optional<std::vector<Release>> recordedReleases(const fs::path& dir, Audit& audit) {
    std::ifstream in(dir / kRecordName, std::ios::binary);
    if (!in) return std::nullopt;
    std::string error;
    auto releases = parseRecord(std::string(std::istreambuf_iterator<char>(in), {}), error);
    if (!releases) audit.problem(std::string(kRecordName) + ": " + error);
    return releases;
}

}  // namespace

int auditCommand(const Arguments& args) {
    std::optional<fs::path> publicKey;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--pub" && i + 1 < args.size()) {
            publicKey = args[++i];
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 1) return fail("audit needs SERVER_DIR [--pub PUBFILE]");
    std::optional<gd::PublicKey> key;
    std::string problem;
    if (publicKey && !(key = readPublicKey(*publicKey, problem))) return fail(kExitInput, problem);
    const fs::path dir = positional[0];
    std::error_code error;
    if (!fs::is_regular_file(dir / kVersionScriptName, error))
        return fail(kExitInput, "no " + std::string(kVersionScriptName) + " in " + dir.string());

    Audit audit(dir);
    std::ifstream in(dir / kVersionScriptName, std::ios::binary);
    std::string script(std::istreambuf_iterator<char>(in), {});
    if (script.size() > gd::kVersionScriptLimit) {
        audit.problem(std::string(kVersionScriptName) + ": " + std::to_string(script.size()) +
                      " bytes, of which launchers read only the first 4096");
        script.resize(gd::kVersionScriptLimit);
    }
    gd::ScriptCipher::decrypt(script.data(), script.size());

    // Every version an installation can be at: before any release, at each
    // recorded one, and at each one the script lists.
    std::set<float> versions{0.0f};
    if (const auto releases = recordedReleases(dir, audit)) {
        for (const Release& release : *releases)
            versions.insert(gd::readVersionNumber(release.version, 0));
        if (!releases->empty() && withoutRules(script) != versionScriptText(*releases))
            audit.problem(std::string(kVersionScriptName) + ": not what " + kRecordName + " makes");
    }
    audit.evaluate(script, 0.0f);
    versions.insert(audit.listedVersions().begin(), audit.listedVersions().end());
    for (const float version : versions) audit.evaluate(script, version);
    audit.checkArchives();
    if (key) audit.checkSignatures(*key);

    if (audit.problems() > 0) return kExitRefused;
    std::cout << "ok: " << versions.size() << " versions, " << audit.archiveCount()
              << " archives\n";
    return kExitOk;
}

}  // namespace gdtool

#include "publish/resign.h"

#include "publish/release_record.h"
#include "publish/server_publication.h"

#include "script/encrypted_script.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/content_hash.h"
#include "trust/signature_file.h"

#include <set>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

class SilentNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view, std::string_view) override {}
};

// Every archive the version script lists for an installation at version 0
// or at any version it lists, as audit finds them: those are the ones a
// fresh installation replays; and the delta archives of its rules.
std::set<std::string> listedArchives(const fs::path& versionScript) {
    const std::string script = gd::readEncryptedFile(versionScript, gd::kVersionScriptLimit);
    std::set<std::string> archives;
    std::set<float> versions{0.0f}, evaluated;
    SilentNotifier notifier;
    while (!versions.empty()) {
        const float version = *versions.begin();
        versions.erase(versions.begin());
        if (!evaluated.insert(version).second) continue;
        gd::VersionManifest manifest;
        gd::runVersionScript(notifier, script, version, manifest);
        for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
            archives.insert(manifest.entryAt(i).archive);
            if (!evaluated.contains(manifest.entryAt(i).version))
                versions.insert(manifest.entryAt(i).version);
        }
    }
    // The delta archives that launchers reading the rules fetch instead.
    for (const gd::DeltaRule& rule : gd::parseVersionRules(script).deltas)
        archives.insert(rule.archive);
    return archives;
}

// NAME.minisig beside NAME in the staged tree, over the hash of what NAME
// holds there (the live file, linked).
bool signStaged(ServerPublication& publication, const SigningRequest& request,
                const std::string& name, std::vector<std::string>& written, std::string& error) {
    const auto hash = gd::hashFile(publication.staged() / name);
    if (!hash) {
        error = "cannot read " + (publication.live() / name).string();
        return false;
    }
    const auto text = signatureFor(request, name, *hash, error);
    const std::string signature = name + std::string(gd::kSignatureSuffix);
    if (!text || !publication.writeFile(signature, *text, error)) return false;
    written.push_back(signature);
    return true;
}

}  // namespace

ResignResult resign(const ResignRequest& request) {
    ResignResult result;
    std::string error;
    auto publication = ServerPublication::begin(request.serverDir, error);
    if (!publication) return result.failure = {Outcome::BadInput, error}, result;
    result.live = publication->live();
    const fs::path list = publication->staged() / kVersionScriptName;
    std::error_code failure;
    if (!fs::is_regular_file(list, failure)) {
        result.failure = {Outcome::BadInput, "no " + std::string(kVersionScriptName) + " in " +
                                                 request.serverDir.string()};
        return result;
    }
    if (request.archives) {
        for (const std::string& archive : listedArchives(list)) {
            // A listed archive that is missing is the audit's to report.
            if (fs::is_regular_file(publication->staged() / archive, failure) &&
                !signStaged(*publication, request.signing, archive, result.signedFiles, error))
                return result.failure = {Outcome::CannotWrite, error}, result;
        }
    }
    if (!signStaged(*publication, request.signing, kVersionScriptName, result.signedFiles, error) ||
        !publication->commit(error))
        result.failure = {Outcome::CannotWrite, error};
    return result;
}

}  // namespace gd::publish

#include "publish/resign.h"

#include "publish/list_binding.h"
#include "publish/publisher_data.h"
#include "publish/release_record.h"
#include "publish/server_publication.h"
#include "publish/server_state.h"

#include "trust/content_hash.h"
#include "trust/signature_file.h"

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

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

// The archives to sign with --archives: every one the proved list names,
// each pinned by it. Those it names without a pin, or that are missing, are
// refused by name.
std::optional<std::vector<std::string>> archivesToSign(const ServerState& state,
                                                       const fs::path& live, std::string& error) {
    std::vector<std::string> archives, refused;
    for (const std::string& archive : listedArchives(state.releases, state.rules)) {
        std::error_code missing;
        if (!state.rules.digestFor(archive)) {
            refused.push_back(archive + ": " + kVersionScriptName + " does not pin it");
        } else if (!fs::is_regular_file(fs::symlink_status(live / archive, missing))) {
            refused.push_back(archive + ": listed but not in " + live.string());
        } else {
            archives.push_back(archive);
        }
    }
    if (refused.empty()) return archives;
    error = "nothing was signed; these archives cannot be proved the publisher's:";
    for (const std::string& line : refused) error += "\n  " + line;
    return std::nullopt;
}

}  // namespace

ResignResult resign(const ResignRequest& request) {
    ResignResult result;
    std::string error;
    auto publication = ServerPublication::begin(request.serverDir, error);
    if (!publication) return result.failure = {Outcome::BadInput, error}, result;
    result.live = publication->live();
    const auto data = PublisherData::open(result.live, error);
    const PublisherData* record = data ? &*data : nullptr;
    const auto keys = keysForSigning(record, request.signing.key.publicKey(), result.failure);
    if (!keys) return result;
    const auto state = readServerState(result.live, record, *keys, result.failure);
    if (!state) return result;
    if (state->list.empty()) {
        result.failure = {Outcome::BadInput, "no " + std::string(kVersionScriptName) + " in " +
                                                 request.serverDir.string()};
        return result;
    }
    if (!state->signedList &&
        !(state->published && state->published->files.contains(kVersionScriptName))) {
        result.failure = {Outcome::BadInput,
                          std::string(kVersionScriptName) +
                              " carries no signature to renew, and no record of gdtool's "
                              "vouches for it; a server becomes signed by a release with --sign"};
        return result;
    }
    SigningRequest signing = request.signing;
    signing.folders = request.folders.empty() ? boundFolders(*state, result.live) : request.folders;
    result.folders = signing.folders;
    std::vector<std::string> archives;
    if (request.archives) {
        auto listed = archivesToSign(*state, result.live, error);
        if (!listed) return result.failure = {Outcome::BadInput, error}, result;
        archives = std::move(*listed);
    }
    for (const std::string& archive : archives)
        if (!signStaged(*publication, signing, archive, result.signedFiles, error))
            return result.failure = {Outcome::CannotWrite, error}, result;
    if (!signStaged(*publication, signing, kVersionScriptName, result.signedFiles, error))
        return result.failure = {Outcome::CannotWrite, error}, result;

    // The result must pass the audit before it goes live.
    result.audit = auditServer(publication->staged(), *keys, result.live);
    if (result.audit.listRefused || result.audit.faulty())
        return result.failure = {Outcome::Refused, {}}, result;
    PublishedRecord published{*keys, signing.folders, {}};
    if (state->published) published.keys = state->published->keys;
    if (!commitRecorded(*publication, record, std::move(published), state->releases, state->rules,
                        error))
        return result.failure = {Outcome::CannotWrite, error}, result;
    return result;
}

}  // namespace gd::publish

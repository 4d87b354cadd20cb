#include "publish/server_state.h"

#include "publish/key_files.h"
#include "publish/release_keys.h"
#include "publish/tree_digest.h"

#include "script/encrypted_script.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"

#include <algorithm>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

std::string notFromRecordMessage(const fs::path& live) {
    return (live / kVersionScriptName).string() +
           " was not made from a release record, and gdtool release never overwrites a "
           "hand-written version script.\nTo start a record, write " +
           (live / kRecordName).string() +
           " with one line per archive already published, oldest first:\n"
           "VERSION<TAB>ARCHIVE<TAB>DESCRIPTION\n"
           "and move filelist.dat away; the next gdtool release writes it from the record.";
}

bool present(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

// The list's signature under `keys`, its expiry aside; the signer, or
// nullopt with the refusal.
std::optional<gd::PublicKey> listSigner(const fs::path& live, std::string_view bytes,
                                        std::span<const gd::PublicKey> keys, std::string& refusal) {
    if (keys.empty()) {
        refusal = "no key to check its signature by: the newest release's config.dat trusts none";
        return std::nullopt;
    }
    // At time 0 no expiry has passed.
    gd::SignatureCheck check(keys, gd::expectationsFor(kVersionScriptName, 0));
    if (check.judgeSignatureFile(readSmallFile(live / gd::signatureNameFor(kVersionScriptName),
                                               gd::kSignatureFileLimit)) &&
        check.judgeContent(bytes))
        return *check.signer();
    refusal = check.refusal();
    return std::nullopt;
}

// Each archive that the list pins and that is not the pinned file.
std::vector<std::string> pinMismatches(const fs::path& live, const ServerState& state) {
    std::vector<std::string> lines;
    for (const std::string& archive : listedArchives(state.releases, state.rules)) {
        const auto pin = state.rules.digestFor(archive);
        if (!pin) continue;
        if (!present(live / archive)) {
            lines.push_back(archive + " is missing");
        } else if (gd::digestFile(live / archive) != pin) {
            lines.push_back(archive + " is not the file that " + kVersionScriptName + " pins");
        }
    }
    return lines;
}

Failure refusal(const fs::path& live, const std::string& what,
                const std::vector<std::string>& lines) {
    return {Outcome::BadInput, live.string() + " " + what + ":" + joined(lines)};
}

// Whether the directory is as the publisher's record has it: the record, or
// the pending record of a command killed after it changed the directory
// (which then becomes the record). Without a record there is nothing to
// compare. `published` gets the record that holds.
bool provedByRecord(const fs::path& live, const PublisherData& data,
                    std::optional<PublishedRecord>& published, Failure& failure) {
    std::string error;
    published = data.record(error);
    const auto pending = error.empty() ? data.pending(error) : std::nullopt;
    if (!error.empty()) return failure = {Outcome::BadInput, error}, false;
    std::vector<std::string> lines;
    if (published && (lines = recordDifferences(*published, live)).empty()) {
        std::error_code ignored;
        fs::remove(data.pendingFile(), ignored);  // its command never changed the directory
        return true;
    }
    if (pending && recordDifferences(*pending, live).empty()) {
        published = pending;
        if (data.settle(error)) return true;
        return failure = {Outcome::CannotWrite, error}, false;
    }
    if (!published && !pending) return true;
    if (!published) lines = recordDifferences(*pending, live);
    failure =
        refusal(live,
                "is not as gdtool last published it (the record is " + data.recordFile().string() +
                    "); restore these files, or remove the record to take the directory "
                    "as it is",
                lines);
    return false;
}

}  // namespace

std::vector<std::string> listedArchives(const std::vector<Release>& releases,
                                        const gd::VersionRules& rules) {
    std::vector<std::string> archives;
    for (const Release& release : releases) {
        archives.push_back(release.archive);
        for (const Bridge& bridge : release.bridges) archives.push_back(bridge.archive);
    }
    for (const gd::DeltaRule& rule : rules.deltas) archives.push_back(rule.archive);
    return archives;
}

std::vector<std::string> publishedNames(const std::vector<Release>& releases,
                                        const gd::VersionRules& rules, const fs::path& dir) {
    std::vector<std::string> names{kRecordName, kTreeListingName, kVersionScriptName};
    for (const std::string& archive : listedArchives(releases, rules)) names.push_back(archive);
    const std::size_t signable = names.size();
    for (std::size_t i = 2; i < signable; ++i) {
        const std::string signature = gd::signatureNameFor(names[i]);
        if (present(dir / signature)) names.push_back(signature);
    }
    return names;
}

std::optional<ServerState> readServerState(const fs::path& live, const PublisherData* data,
                                           std::span<const gd::PublicKey> keys, Failure& failure) {
    ServerState state;
    std::string error;
    if (data && !provedByRecord(live, *data, state.published, failure)) return std::nullopt;
    if (const auto text = readServerFile(live / kRecordName)) {
        auto parsed = parseRecord(*text, error);
        if (!parsed)
            return failure = {Outcome::BadInput, (live / kRecordName).string() + ": " + error},
                   std::nullopt;
        state.releases = std::move(*parsed);
    }
    if (!present(live / kVersionScriptName)) return state;

    // Read once: the signature is judged on these bytes, the rules on their text.
    const std::string raw = readServerFile(live / kVersionScriptName).value_or("");
    if (raw.size() <= gd::kUpdateScriptLimit) {
        state.list = raw;
        gd::ScriptCipher::decrypt(state.list.data(), state.list.size());
    }
    state.rules = gd::parseVersionRules(state.list);
    state.signedList = present(live / gd::signatureNameFor(kVersionScriptName));
    // The publisher's record vouches for the list as well as its signature.
    const bool recorded = state.published && state.published->files.contains(kVersionScriptName);
    if (state.signedList) {
        state.listSigner = listSigner(live, raw, keys, error);
        if (!state.listSigner && !recorded) {
            failure = refusal(live, "holds a version list that cannot be proved the publisher's",
                              {std::string(kVersionScriptName) + ": " + error});
            return std::nullopt;
        }
    }
    if (state.releases.empty() || withoutRules(state.list) != versionScriptText(state.releases))
        return failure = {Outcome::BadInput, notFromRecordMessage(live)}, std::nullopt;
    if (const auto lines = pinMismatches(live, state); !lines.empty())
        return failure = refusal(live, "holds archives that the list does not pin", lines),
               std::nullopt;
    return state;
}

}  // namespace gd::publish

namespace gd::publish {

bool commitRecorded(ServerPublication& publication, const PublisherData* data,
                    PublishedRecord record, const std::vector<Release>& releases,
                    const gd::VersionRules& rules, std::string& error) {
    if (data) {
        const fs::path& staged = publication.staged();
        record.files = digestsOf(staged, publishedNames(releases, rules, staged));
        if (!data->writePending(record, error)) return false;
    }
    if (!publication.commit(error)) return false;
    return !data || data->settle(error);
}

std::optional<std::vector<gd::PublicKey>> keysForSigning(const PublisherData* data,
                                                         const gd::PublicKey& signer,
                                                         Failure& failure) {
    std::string error;
    const auto record = data ? data->record(error) : std::nullopt;
    if (!error.empty()) return failure = {Outcome::BadInput, error}, std::nullopt;
    // Without a record, the key that signed the list before is the one to
    // sign it again: readServerState proves the list by that key alone.
    if (!record) return std::vector<gd::PublicKey>{signer};
    if (std::find(record->keys.begin(), record->keys.end(), signer) == record->keys.end()) {
        failure = {Outcome::BadInput,
                   "the key " + gd::keyIdText(signer.id) +
                       " is not one that installations trust after the newest release (" +
                       keyList(record->keys) + ", as " + data->recordFile().string() +
                       " records): they would refuse every list it signs"};
        return std::nullopt;
    }
    return record->keys;
}

}  // namespace gd::publish

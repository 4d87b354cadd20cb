#include "publish/release.h"

#include "publish/key_files.h"
#include "publish/patch_script.h"
#include "publish/release_base.h"
#include "publish/release_keys.h"
#include "publish/tree_digest.h"
#include "publish/tree_store.h"
#include "publish/zip_writer.h"

#include "install/install_paths.h"
#include "script/encrypted_script.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <span>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

constexpr const char* kScriptEntry = "update.dat";

Failure badInput(std::string reason) {
    return {Outcome::BadInput, std::move(reason)};
}

std::optional<std::string> readPlainFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string notFromRecordMessage(const fs::path& live) {
    return (live / kVersionScriptName).string() +
           " was not made from a release record, and gdtool release never overwrites a "
           "hand-written version script.\nTo start a record, write " +
           (live / kRecordName).string() +
           " with one line per archive already published, oldest first:\n"
           "VERSION<TAB>ARCHIVE<TAB>DESCRIPTION\n"
           "and move filelist.dat away; the next gdtool release writes it from the record.";
}

// The releases published so far; nullopt, with the refusal in `error`, when
// the record does not parse or filelist.dat is not its product.
std::optional<std::vector<Release>> publishedReleases(const fs::path& live, std::string& error) {
    std::vector<Release> releases;
    if (const auto text = readPlainFile(live / kRecordName)) {
        auto parsed = parseRecord(*text, error);
        if (!parsed) {
            error = (live / kRecordName).string() + ": " + error;
            return std::nullopt;
        }
        releases = std::move(*parsed);
    }
    std::error_code failure;
    if (fs::exists(live / kVersionScriptName, failure)) {
        const std::string script =
            gd::readEncryptedFile(live / kVersionScriptName, gd::kUpdateScriptLimit);
        if (releases.empty() || withoutRules(script) != versionScriptText(releases)) {
            error = notFromRecordMessage(live);
            return std::nullopt;
        }
    }
    return releases;
}

// `role` is the argument's name, OLD_TREE or NEW_TREE, which every problem
// names: the two trees often differ only deep in their paths.
std::optional<TreeScan> scanInstallation(const fs::path& root, std::string_view role,
                                         std::string& error) {
    std::vector<std::string> problems;
    auto scan = scanTree(root, problems);
    if (!scan) problems.push_back("is not a folder: " + root.string());
    for (const std::string& problem : problems)
        error += (error.empty() ? "" : "\n") + std::string(role) + " " + problem;
    return problems.empty() ? std::move(scan) : std::nullopt;
}

// Whether anything has the name, a link that leads nowhere included.
bool taken(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::string archiveName(const fs::path& live, const std::string& version) {
    std::string name = "patch-" + version + ".zip";
    for (int n = 2; taken(live / name) || taken(live / (name + ".minisig")); ++n)
        name = "patch-" + version + "-" + std::to_string(n) + ".zip";
    return name;
}

// The first signature files in the update directory, if it holds any.
std::string heldSignatures(const fs::path& live) {
    std::string names;
    std::error_code error;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(live, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(gd::kSignatureSuffix)) continue;
        if (++count <= 3) names += (names.empty() ? "" : ", ") + name;
    }
    return count > 3 ? names + ", ..." : names;
}

// The proof and the hash read the archive through the descriptor it was
// written to, never through its name.
fs::path descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool writeArchive(int fd, const ReleasePlan& plan, std::string& error) {
    std::string enciphered = plan.updateScript;
    gd::ScriptCipher::encrypt(enciphered.data(), enciphered.size());
    ZipWriter zip(fd);
    bool ok = static_cast<bool>(zip);
    const fs::path& newTree = plan.request.newTree;
    for (const std::string& file : plan.diff.shippedFiles) {
        if (!ok) break;
        ok = zip.addFile(kPayloadFolder + file, newTree / file);
        if (!ok) error = "cannot read " + (newTree / file).string();
    }
    // Beside the script, where the launcher's replacement looks for it.
    if (ok && plan.diff.launcherChanged)
        ok = zip.addFile(gd::kLauncherExecutable, newTree / gd::kLauncherExecutable);
    // Last, so that no shipped file whose name contains UPDATE.DAT can be
    // taken for it.
    ok = ok && zip.addBytes(kScriptEntry, enciphered) && zip.close() && ::fsync(fd) == 0;
    if (!ok && error.empty())
        error = "cannot write the archive: " + std::string(std::strerror(errno));
    return ok;
}

// Why `version` cannot follow the releases (or OLD_TREE's version), or empty.
std::string versionProblem(const std::vector<Release>& releases, float previous,
                           const std::string& text, float version) {
    if (version > previous) return {};
    const std::string last = releases.empty()
                                 ? gd::formatVersion(previous) + ", the version of OLD_TREE"
                                 : releases.back().version + ", the last release";
    return "version " + text + " is not newer than " + last +
           " (versions compare as 32-bit floats)";
}

std::string tooLongMessage(std::size_t size) {
    return "filelist.dat would be " + std::to_string(size) +
           " bytes; launchers read only the first " + std::to_string(gd::kVersionScriptLimit) +
           " (shorten the descriptions in " + kRecordName +
           ", or offer fewer delta archives with --catch-up)";
}

// The list's rules after its script: the delta archives and, signed, the
// pins of every archive it names. `newHash` is the new archive's, when signed.
std::optional<std::string> withRules(const ReleasePlan& plan, std::vector<OfferedDelta> deltas,
                                     const std::optional<gd::ContentHash>& newHash,
                                     std::string& error) {
    std::vector<std::pair<std::string, gd::ContentDigest>> pins;
    if (plan.request.signing && newHash) {
        pins = listPins(plan.releases, plan.publication.live(), gd::digestOf(*newHash), error);
        if (!error.empty()) return std::nullopt;
    } else {
        for (OfferedDelta& delta : deltas) delta.hash.reset();
    }
    std::string full = plan.versionScript + versionRulesText(deltas, pins);
    if (full.size() > gd::kVersionScriptLimit) {
        error = tooLongMessage(full.size());
        return std::nullopt;
    }
    return full;
}

// The bases of the delta archives: OLD_TREE, then the newest kept trees of
// older versions (the releases', and the first release's OLD_TREE), as many
// as the request asks for.
std::vector<CatchUpBase> catchUpBases(const ReleasePlan& plan, std::vector<std::string>& notices) {
    const ReleaseRequest& request = plan.request;
    std::vector<CatchUpBase> bases;
    if (request.catchUp == 0) return bases;
    bases.push_back({plan.previousText, plan.previous, request.oldTree});
    if (!request.trees) {
        if (request.catchUp > 1 && !plan.firstRelease)
            notices.push_back("delta archives from " + plan.previousText +
                              " only: --trees DIR keeps the trees of releases for more");
        return bases;
    }
    const TreeStore store(*request.trees);
    std::vector<CatchUpBase> older;
    for (const std::string& version : store.versions()) {
        std::string ignored;
        const auto number = parseReleaseVersion(version, ignored);
        if (number && *number < plan.previous)
            older.push_back({version, *number, *store.tree(version)});
    }
    std::sort(older.begin(), older.end(),
              [](const CatchUpBase& a, const CatchUpBase& b) { return a.number > b.number; });
    for (const CatchUpBase& base : older) {
        if (bases.size() == static_cast<std::size_t>(request.catchUp)) break;
        bases.push_back(base);
    }
    return bases;
}

// Keeps OLD_TREE (when not kept yet) and NEW_TREE for the delta archives of
// later releases. A failure costs those only: the release is out.
std::string keepTrees(const ReleasePlan& plan) {
    const ReleaseRequest& request = plan.request;
    if (!request.trees) return {};
    const TreeStore store(*request.trees);
    std::string error;
    if (!store.keep(plan.previousText, request.oldTree, plan.oldScan, {}, {}, error) ||
        !store.keep(request.version, request.newTree, plan.newScan, plan.previousText,
                    plan.diff.unchangedFiles, error))
        return error;
    return {};
}

// A fresh installation replays every archive from the first, so each must
// carry a signature by a key that installations trust: after a rotation the
// earlier ones need the new key's too. The earlier archives that lack this
// key's signature.
std::vector<std::string> lackingSignatures(const fs::path& live,
                                           const std::vector<Release>& earlier,
                                           const SigningRequest& signing) {
    const gd::PublicKey key = signing.key.publicKey();
    std::vector<std::string> lacking;
    for (const Release& release : earlier) {
        // Whose signature it is, not whether the archive still matches it:
        // that is the audit's to say.
        gd::SignatureCheck check(std::span(&key, 1),
                                 gd::expectationsFor(release.archive, std::time(nullptr)));
        if (!check.judgeSignatureFile(readSmallFile(live / gd::signatureNameFor(release.archive),
                                                    gd::kSignatureFileLimit)))
            lacking.push_back(release.archive);
    }
    return lacking;
}

// What is published besides the archive.
struct Publication {
    std::optional<gd::ContentHash> archiveHash;  // when signed: of the archive that was proved
    std::string versionScript;                   // plain text
    std::vector<OfferedDelta> deltas;            // when signed: each with its hash
};

bool writeSignature(ServerPublication& publication, const SigningRequest& signing,
                    const std::string& name, const std::optional<gd::ContentHash>& hash,
                    std::string& error) {
    if (!hash) {
        error = "cannot hash " + name;
        return false;
    }
    const auto text = signatureFor(signing, name, *hash, error);
    return text && publication.writeFile(name + std::string(gd::kSignatureSuffix), *text, error);
}

// Record, version script, the tree's listing and (when signed) signatures go
// into the staged tree, which then becomes the update directory in one step,
// so that the signatures go live together with what they sign.
bool publish(ReleasePlan& plan, Publication files, std::string& error) {
    ServerPublication& publication = plan.publication;
    gd::ScriptCipher::encrypt(files.versionScript.data(), files.versionScript.size());
    if (!publication.writeFile(kRecordName, recordText(plan.releases), error) ||
        !publication.writeFile(kTreeListingName, plan.treeListing, error) ||
        !publication.writeFile(kVersionScriptName, files.versionScript, error))
        return false;
    if (const auto& signing = plan.request.signing) {
        bool ok = writeSignature(publication, *signing, plan.archive, files.archiveHash, error);
        for (const OfferedDelta& delta : files.deltas)
            ok = ok && writeSignature(publication, *signing, delta.archive, delta.hash, error);
        if (!ok || !writeSignature(publication, *signing, kVersionScriptName,
                                   gd::hashContent(files.versionScript), error))
            return false;
    }
    return publication.commit(error);
}

// Refusals that need the server's current state and both trees, before
// anything is built.
std::string releaseProblem(const ReleaseRequest& request, const fs::path& live,
                           const TreeDiff& diff) {
    if (!diff.problems.empty()) return diff.problems.front();
    if (const std::string held = heldSignatures(live); !request.signing && !held.empty())
        return live.string() + " holds signatures (" + held +
               "): a release without --sign would leave them beside files they do not sign, "
               "and signed installations would refuse it. Give --sign SECFILE, or remove "
               "every .minisig file there first to stop signing";
    if (diff.empty() && !request.allowEmpty)
        return "NEW_TREE changes nothing against OLD_TREE; give --allow-empty to publish a "
               "release that only records a new version";
    return configKeyProblem(request.oldTree, request.newTree, request.changeKeys);
}

// The archive, created new in the staged tree, proved, and hashed (when
// signed) through the one descriptor it was written to.
Failure buildArchive(ReleasePlan& plan, ReleaseResult& result,
                     std::optional<gd::ContentHash>& hash) {
    std::string error;
    const gd::UniqueFd archive = plan.publication.createFile(plan.archive, error);
    if (!archive) return {Outcome::CannotWrite, error};
    if (!writeArchive(archive.get(), plan, error))
        return {Outcome::CannotWrite, plan.archive + ": " + error};
    const ReleaseRequest& request = plan.request;
    auto differences = proveRelease({request.oldTree, plan.oldScan, request.newTree, plan.newScan,
                                     plan.diff, descriptorPath(archive.get()), plan.previous,
                                     plan.base.second, plan.version});
    if (!differences.empty()) {
        result.proofFailure =
            ProofFailure{plan.archive, gd::formatVersion(plan.previous),
                         "NEW_TREE " + request.newTree.string(), std::move(differences)};
        return {Outcome::Refused, {}};
    }
    if (request.signing) hash = gd::hashDescriptor(archive.get());
    return {};
}

}  // namespace

BaseVersion oldTreeVersion(const fs::path& oldTree) {
    const std::string text =
        gd::readEncryptedFile(oldTree / kVersionFileName, gd::kVersionFileLimit);
    if (text.empty()) return {};
    return {gd::readVersionNumber(text, 0), gd::readVersionNumber(text, 1)};
}

std::optional<ReleasePlan> planRelease(ReleaseRequest request, Failure& failure) {
    std::string error;
    const auto version = parseReleaseVersion(request.version, error);
    if (!version) return failure = badInput(error), std::nullopt;
    if (error = descriptionProblem(request.description); !error.empty())
        return failure = badInput(error), std::nullopt;
    auto oldScan = scanInstallation(request.oldTree, "OLD_TREE", error);
    auto newScan = oldScan ? scanInstallation(request.newTree, "NEW_TREE", error) : std::nullopt;
    if (!newScan) return failure = badInput(error), std::nullopt;

    auto publication = ServerPublication::begin(request.serverDir, error);
    if (!publication) return failure = badInput(error), std::nullopt;
    const fs::path live = publication->live();
    auto releases = publishedReleases(live, error);
    if (!releases) return failure = badInput(error), std::nullopt;
    const BaseVersion base = oldTreeVersion(request.oldTree);
    const float previous =
        releases->empty() ? base.installed : gd::readVersionNumber(releases->back().version, 0);
    if (error = versionProblem(*releases, previous, request.version, *version); !error.empty())
        return failure = badInput(error), std::nullopt;
    const bool firstRelease = releases->empty();
    std::string previousText = firstRelease ? shortVersion(previous) : releases->back().version;
    TreeDiff diff = diffTrees(request.oldTree, *oldScan, request.newTree, *newScan);
    if (error = releaseProblem(request, live, diff); !error.empty())
        return failure = badInput(error), std::nullopt;
    std::string note;
    const auto listing = checkReleaseBase(
        {live, request.oldTree, *oldScan, request.newTree, *newScan, diff}, *releases, error, note);
    if (!listing) return failure = badInput(error), std::nullopt;

    std::string archive = archiveName(live, request.version);
    releases->push_back({request.version, archive, request.description, listingDigest(*listing)});
    std::string versionScript = versionScriptText(*releases);
    if (versionScript.size() > gd::kVersionScriptLimit)
        return failure = badInput(tooLongMessage(versionScript.size())), std::nullopt;
    std::string updateScript = patchScriptText(diff, request.version);
    if (updateScript.size() > gd::kUpdateScriptLimit)
        return failure = badInput("the update script would exceed the 1 MiB that launchers read"),
               std::nullopt;
    std::string treeListing = treeListingFile(request.version, *listing);
    return ReleasePlan{std::move(request),
                       std::move(*publication),
                       std::move(*releases),
                       *version,
                       base,
                       previous,
                       std::move(previousText),
                       firstRelease,
                       std::move(*oldScan),
                       std::move(*newScan),
                       std::move(diff),
                       std::move(note),
                       std::move(archive),
                       std::move(updateScript),
                       std::move(versionScript),
                       std::move(treeListing)};
}

ReleaseResult carryOut(ReleasePlan& plan) {
    ReleaseResult result;
    Publication files;
    if ((result.failure = buildArchive(plan, result, files.archiveHash))) return result;

    std::string error;
    auto deltas = makeCatchUpArchives(
        catchUpBases(plan, result.notices),
        {plan.request.newTree, plan.newScan, plan.request.version, plan.version}, plan.publication,
        error, result.proofFailure);
    if (!deltas) {
        result.failure =
            error.empty() ? Failure{Outcome::Refused, {}} : Failure{Outcome::CannotWrite, error};
        return result;
    }
    result.deltas = *deltas;
    files.deltas = std::move(*deltas);
    auto listed = withRules(plan, files.deltas, files.archiveHash, error);
    if (!listed) return result.failure = badInput(error), result;
    files.versionScript = std::move(*listed);
    if (plan.request.dryRun) return result;

    const std::vector<Release> earlier(plan.releases.begin(), plan.releases.end() - 1);
    if (!publish(plan, std::move(files), error))
        return result.failure = {Outcome::CannotWrite, error}, result;
    result.published = true;
    result.keepProblem = keepTrees(plan);
    if (const auto& signing = plan.request.signing)
        result.notSignedByKey = lackingSignatures(plan.publication.live(), earlier, *signing);
    return result;
}

}  // namespace gd::publish

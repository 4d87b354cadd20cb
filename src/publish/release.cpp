#include "publish/release.h"

#include "publish/key_files.h"
#include "publish/list_binding.h"
#include "publish/list_writer.h"
#include "publish/patch_script.h"
#include "publish/release_base.h"
#include "publish/release_keys.h"
#include "publish/tree_digest.h"
#include "publish/tree_store.h"
#include "publish/whole_archive.h"

#include "install/install_paths.h"
#include "script/encrypted_script.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <span>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

constexpr const char* kScriptEntry = "update.dat";

Failure badInput(std::string reason) {
    return {Outcome::BadInput, std::move(reason)};
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

std::string freeArchiveName(const fs::path& live, const std::string& stem) {
    std::string name = stem + ".zip";
    for (int n = 2; taken(live / name) || taken(live / (name + ".minisig")); ++n)
        name = stem + "-" + std::to_string(n) + ".zip";
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

// Why `version` cannot follow the releases (or OLD_TREE's version), or empty.
std::string versionProblem(const std::vector<Release>& releases, float previous,
                           const std::string& text, float version) {
    const float newest =
        releases.empty() ? previous : gd::readVersionNumber(releases.back().version, 0);
    if (version > previous && version > newest) return {};
    const std::string last = releases.empty()
                                 ? gd::formatVersion(previous) + ", the version of OLD_TREE"
                                 : releases.back().version + ", the last release";
    return "version " + text + " is not newer than " + last +
           " (versions compare as 32-bit floats)";
}

// The bases of the delta archives: OLD_TREE, then the newest kept trees of
// older versions (the releases', and the first release's OLD_TREE), as many
// as the request asks for; and every staged release the new one bridges.
std::vector<CatchUpBase> catchUpBases(const ReleasePlan& plan) {
    const ReleaseRequest& request = plan.request;
    std::vector<CatchUpBase> bases;
    for (const StagedBase& staged : plan.bridged)
        bases.push_back({staged.version, staged.number, staged.tree});
    if (request.catchUp == 0) return bases;
    bases.push_back({plan.previousText, plan.previous, request.oldTree});
    const TreeStore store(plan.trees);
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
        if (bases.size() == plan.bridged.size() + static_cast<std::size_t>(request.catchUp)) break;
        bases.push_back(base);
    }
    return bases;
}

// Keeps OLD_TREE (when not kept yet) and NEW_TREE, for the delta archives,
// bridges and reverts of later releases.
std::string keepTrees(const ReleasePlan& plan) {
    const ReleaseRequest& request = plan.request;
    const TreeStore store(plan.trees);
    std::string error;
    if (!store.keep(plan.previousText, request.oldTree, plan.oldScan, {}, {}, error) ||
        !store.keep(request.version, request.newTree, plan.newScan, plan.previousText,
                    plan.diff.unchangedFiles, error))
        return error + "; later releases offer fewer delta archives";
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

bool writeSignature(ServerPublication& publication, const SigningRequest& signing,
                    const std::string& name, const gd::ContentHash& hash, std::string& error) {
    const auto text = signatureFor(signing, name, hash, error);
    return text && publication.writeFile(name + std::string(gd::kSignatureSuffix), *text, error);
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
    if (std::string problem =
            configKeyProblem(request.oldTree, request.newTree, request.changeKeys);
        !problem.empty())
        return problem;
    std::optional<gd::PublicKey> signer;
    if (request.signing) signer = request.signing->key.publicKey();
    return signingKeyProblem(request.oldTree, request.newTree, signer);
}

std::string audienceProblem(const ReleaseRequest& request) {
    if (request.share < 1 || request.share > 100)
        return "a release goes to a share of 1 to 100 percent of the installations";
    if (!request.channel.empty() && !gd::isChannelName(request.channel))
        return "a channel's name is 1 to 32 of a-z, 0-9, _ and -, beginning with a letter or digit";
    return {};
}

// The staged releases after the chain's last one, below the new version:
// installations may hold them, and each gets a bridge to the new release.
std::optional<std::vector<StagedBase>> stagedBases(const std::vector<Release>& releases,
                                                   const fs::path& trees, std::string& error) {
    std::vector<StagedBase> bases;
    const Release* last = lastGeneral(releases);
    const TreeStore store(trees);
    for (const Release& release : releases) {
        if (release.general() || (last && &release < last)) continue;
        const auto tree = store.tree(release.version);
        if (!tree) {
            error = "the tree of the staged release " + release.version + " is not kept in " +
                    trees.string() +
                    "; installations that took it need a bridge to the new release, made from "
                    "that tree (give --trees DIR where it is kept)";
            return std::nullopt;
        }
        bases.push_back({release.version, gd::readVersionNumber(release.version, 0), *tree});
    }
    return bases;
}

// The keys to prove the live list's signature by: what installations at the
// chain's last release trust, and what the publisher's record says.
std::vector<gd::PublicKey> proofKeys(const fs::path& oldTree,
                                     const std::optional<PublisherData>& data) {
    std::vector<gd::PublicKey> keys = trustedKeys(oldTree);
    std::string ignored;
    if (data) {
        if (const auto record = data->record(ignored))
            keys.insert(keys.end(), record->keys.begin(), record->keys.end());
    }
    return keys;
}

// Made in this step, to be signed and pinned.
struct Made {
    std::map<std::string, gd::ContentDigest> digests;
    std::vector<std::pair<std::string, gd::ContentHash>> hashes;
};

Failure buildBridges(ReleasePlan& plan, ReleaseResult& result, Made& made) {
    for (const StagedBase& staged : plan.bridged) {
        std::vector<std::string> problems;
        const auto scan = scanTree(staged.tree, problems);
        if (!scan || !problems.empty())
            return {Outcome::CannotWrite, "cannot read the kept tree " + staged.tree.string()};
        const TreeDiff diff = diffTrees(staged.tree, *scan, plan.request.newTree, plan.newScan);
        if (!diff.problems.empty()) return {Outcome::CannotWrite, diff.problems.front()};
        const std::string script = patchScriptText(diff, plan.request.version);
        const std::string name = freeArchiveName(
            plan.publication.live(), "patch-" + plan.request.version + "-from-" + staged.version);
        Failure failure;
        const auto archive =
            makeWholeArchive(plan.publication,
                             {name, staged.tree, *scan, plan.request.newTree, plan.newScan, diff,
                              script, staged.number, 1.0f, staged.version, plan.version},
                             failure, result.proofFailure);
        if (!archive) return failure;
        made.digests[name] = archive->digest;
        made.hashes.emplace_back(name, archive->hash);
        result.bridges.push_back({staged.version, name});
    }
    plan.releases.back().bridges = result.bridges;
    return {};
}

// Record, list, the tree's listing and (when signed) signatures go into
// the staged tree, which then becomes the update directory in one step, so
// that the signatures go live together with what they sign.
bool publish(ReleasePlan& plan, const std::string& list, const Made& made,
             const std::vector<gd::PublicKey>& keys, std::string& error) {
    ServerPublication& publication = plan.publication;
    if (!publication.writeFile(kTreeListingName, plan.treeListing, error)) return false;
    if (const auto& signing = plan.request.signing) {
        for (const auto& [name, hash] : made.hashes)
            if (!writeSignature(publication, *signing, name, hash, error)) return false;
    }
    return stageList(publication, plan.releases, list, plan.request.signing, error) &&
           commitRecorded(
               publication, plan.data ? &*plan.data : nullptr,
               {keys,
                plan.request.signing ? plan.request.signing->folders : std::vector<std::string>{},
                {}},
               plan.releases, gd::parseVersionRules(list), error);
}

// What installations trust once they take the release: NEW_TREE's keys, and
// for a staged release only those that the chain's installations share.
std::vector<gd::PublicKey> keysAfter(const ReleasePlan& plan) {
    std::vector<gd::PublicKey> after = trustedKeys(plan.request.newTree);
    if (plan.releases.back().general()) return after;
    const std::vector<gd::PublicKey> before = trustedKeys(plan.request.oldTree);
    if (before.empty()) return after;
    std::erase_if(after, [&](const gd::PublicKey& key) {
        return std::find(before.begin(), before.end(), key) == before.end();
    });
    return after;
}

// The bytes an installation at `from` downloads without a delta archive:
// the bridge from a staged version, or the chain's archives after `from`
// with the new one.
std::uint64_t bytesWithout(const ReleasePlan& plan, const ReleaseResult& result,
                           const std::string& from) {
    const auto sizeOf = [&](const std::string& archive) {
        struct stat info {};
        const fs::path file = plan.publication.staged() / archive;
        return ::stat(file.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    };
    for (const Bridge& bridge : result.bridges)
        if (bridge.from == from) return sizeOf(bridge.archive);
    const float start = gd::readVersionNumber(from, 0);
    std::uint64_t total = result.archiveSize;
    for (const Release& release : plan.releases) {
        if (&release != &plan.releases.back() && release.general() &&
            gd::readVersionNumber(release.version, 0) > start)
            total += sizeOf(release.archive);
    }
    return total;
}

// A delta archive that saves nothing against what it stands in for is
// not published.
void dropUseless(ReleasePlan& plan, ReleaseResult& result) {
    std::erase_if(result.deltas, [&](const OfferedDelta& delta) {
        const std::uint64_t without = bytesWithout(plan, result, delta.from);
        if (delta.size < without) return false;
        plan.publication.drop(delta.archive);
        result.notices.push_back("no delta archive from " + delta.from + ": its " +
                                 std::to_string(delta.size) + " bytes save nothing against the " +
                                 std::to_string(without) + " of the whole-file archives");
        return true;
    });
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
    if (error = audienceProblem(request); !error.empty())
        return failure = badInput(error), std::nullopt;
    auto oldScan = scanInstallation(request.oldTree, "OLD_TREE", error);
    auto newScan = oldScan ? scanInstallation(request.newTree, "NEW_TREE", error) : std::nullopt;
    if (!newScan) return failure = badInput(error), std::nullopt;

    auto publication = ServerPublication::begin(request.serverDir, error);
    if (!publication) return failure = badInput(error), std::nullopt;
    const fs::path live = publication->live();
    std::vector<std::string> notes;
    auto data = PublisherData::open(live, error);
    if (!data) notes.push_back(error + "; nothing is recorded of this release there");
    if (!data && !request.trees)
        return failure = badInput(error + "; give --trees DIR to keep the trees of releases"),
               std::nullopt;
    const fs::path trees = request.trees ? *request.trees : data->trees();
    auto state =
        readServerState(live, data ? &*data : nullptr, proofKeys(request.oldTree, data), failure);
    if (!state) return std::nullopt;
    if (data && !state->published && !state->releases.empty())
        notes.push_back("gdtool keeps no record of what was published in " + live.string() +
                        " yet; from this release on, " + data->recordFile().string() +
                        " records it");
    std::vector<Release> releases = state->releases;
    const BaseVersion base = oldTreeVersion(request.oldTree);
    const Release* general = lastGeneral(releases);
    const float previous = general ? gd::readVersionNumber(general->version, 0) : base.installed;
    if (error = versionProblem(releases, previous, request.version, *version); !error.empty())
        return failure = badInput(error), std::nullopt;
    const bool firstRelease = releases.empty();
    std::string previousText = general ? general->version : shortVersion(previous);
    TreeDiff diff = diffTrees(request.oldTree, *oldScan, request.newTree, *newScan);
    if (error = releaseProblem(request, live, diff); !error.empty())
        return failure = badInput(error), std::nullopt;
    auto bridged = stagedBases(releases, trees, error);
    if (!bridged) return failure = badInput(error), std::nullopt;
    std::string note;
    const auto listing = checkReleaseBase(
        {live, request.oldTree, *oldScan, request.newTree, *newScan, diff}, releases, error, note);
    if (!listing) return failure = badInput(error), std::nullopt;
    if (!note.empty()) notes.insert(notes.begin(), note);

    // Installations at either tree take the list: those that have not yet
    // taken a config.dat that moves them to another folder too.
    if (request.signing) request.signing->folders = treeFolders({request.oldTree, request.newTree});
    std::string archive = freeArchiveName(live, "patch-" + request.version);
    Release added;
    added.version = request.version;
    added.archive = archive;
    added.description = request.description;
    added.tree = listingDigest(*listing);
    added.share = request.share;
    added.channel = request.channel;
    if (!added.general()) added.from = previousText;
    releases.push_back(std::move(added));
    if (const std::string script = versionScriptText(releases);
        script.size() > gd::kVersionScriptLimit)
        return failure = badInput(listTooLongMessage(script.size())), std::nullopt;
    std::string updateScript = patchScriptText(diff, request.version);
    if (updateScript.size() > gd::kUpdateScriptLimit)
        return failure = badInput("the update script would exceed the 1 MiB that launchers read"),
               std::nullopt;
    std::string treeListing = treeListingFile(request.version, *listing);
    return ReleasePlan{std::move(request),
                       std::move(*publication),
                       std::move(data),
                       std::move(*state),
                       std::move(releases),
                       *version,
                       base,
                       previous,
                       std::move(previousText),
                       firstRelease,
                       trees,
                       std::move(*bridged),
                       std::move(*oldScan),
                       std::move(*newScan),
                       std::move(diff),
                       std::move(notes),
                       std::move(archive),
                       std::move(updateScript),
                       std::move(treeListing)};
}

ReleaseResult carryOut(ReleasePlan& plan) {
    ReleaseResult result;
    Made made;
    const auto archive =
        makeWholeArchive(plan.publication,
                         {plan.archive, plan.request.oldTree, plan.oldScan, plan.request.newTree,
                          plan.newScan, plan.diff, plan.updateScript, plan.previous,
                          plan.base.second, gd::formatVersion(plan.previous), plan.version},
                         result.failure, result.proofFailure);
    if (!archive) return result;
    result.archiveSize = archive->size;
    made.digests[plan.archive] = archive->digest;
    made.hashes.emplace_back(plan.archive, archive->hash);
    if ((result.failure = buildBridges(plan, result, made))) return result;

    std::string error;
    auto deltas = makeCatchUpArchives(
        catchUpBases(plan),
        {plan.request.newTree, plan.newScan, plan.request.version, plan.version}, plan.publication,
        error, result.proofFailure);
    if (!deltas) {
        result.failure =
            error.empty() ? Failure{Outcome::Refused, {}} : Failure{Outcome::CannotWrite, error};
        return result;
    }
    result.deltas = std::move(*deltas);
    dropUseless(plan, result);
    std::vector<OfferedDelta> listed = result.deltas;
    if (plan.request.signing) {
        for (const OfferedDelta& delta : listed)
            made.hashes.emplace_back(delta.archive, *delta.hash);
    } else {
        for (OfferedDelta& delta : listed) delta.hash.reset();
    }
    std::vector<std::pair<std::string, gd::ContentDigest>> pins;
    if (plan.request.signing) {
        std::map<std::string, gd::ContentDigest> known = plan.state.rules.pins;
        known.insert(made.digests.begin(), made.digests.end());
        pins = listPins(plan.releases, known, plan.publication.live(), error);
        if (!error.empty()) return result.failure = badInput(error), result;
    }
    // A staged release leaves the chain's delta archives offered to those
    // who are not offered it.
    std::string deltaLines = deltaRuleLines(listed);
    if (!plan.releases.back().general()) deltaLines = deltaRuleLines(plan.state.list) + deltaLines;
    const auto list = composeList(plan.releases, deltaLines, pins, error);
    if (!list) return result.failure = badInput(error), result;
    if (plan.request.dryRun) return result;

    const std::vector<Release> earlier(plan.releases.begin(), plan.releases.end() - 1);
    if (!plan.request.signing) made.hashes.clear();
    if (!publish(plan, *list, made, keysAfter(plan), error))
        return result.failure = {Outcome::CannotWrite, error}, result;
    result.published = true;
    result.keepProblem = keepTrees(plan);
    if (const auto& signing = plan.request.signing)
        result.notSignedByKey = lackingSignatures(plan.publication.live(), earlier, *signing);
    return result;
}

std::optional<ReleasePlan> planRevert(ReleaseRequest request, const std::string& good,
                                      Failure& failure) {
    std::error_code error;
    const fs::path live = fs::canonical(request.serverDir, error);
    if (error)
        return failure = badInput("no update directory " + request.serverDir.string()),
               std::nullopt;
    std::string problem;
    std::optional<PublisherData> data;
    if (!request.trees && !(data = PublisherData::open(live, problem)))
        return failure = badInput(problem), std::nullopt;
    const fs::path trees = request.trees ? *request.trees : data->trees();
    // Which trees to take; planRelease proves the directory before anything is built.
    const auto releases = parseRecord(readServerFile(live / kRecordName).value_or(""), problem);
    const Release* general = releases ? lastGeneral(*releases) : nullptr;
    if (!general)
        return failure = badInput(live.string() +
                                  " has no release that everyone is offered to "
                                  "revert from"),
               std::nullopt;
    const TreeStore store(trees);
    const auto from = store.tree(general->version);
    const auto to = store.tree(good);
    if (!from || !to)
        return failure = badInput("the tree of " + (from ? good : general->version) +
                                  " is not kept in " + trees.string() +
                                  " (give --trees DIR where the trees of releases are kept)"),
               std::nullopt;
    request.oldTree = *from;
    request.newTree = *to;
    request.allowEmpty = true;
    request.share = 100;
    request.channel.clear();
    request.trees = trees;
    return planRelease(std::move(request), failure);
}

}  // namespace gd::publish

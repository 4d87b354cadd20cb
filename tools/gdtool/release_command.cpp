// release: the next patch archive from two installation trees, proved with
// the engine before the server's update directory changes in one step.

#include "catch_up.h"
#include "command_output.h"
#include "commands.h"
#include "install/install_paths.h"
#include "key_files.h"
#include "list_binding.h"
#include "patch_script.h"
#include "release_base.h"
#include "release_keys.h"
#include "release_proof.h"
#include "release_record.h"
#include "release_signing.h"
#include "server_publication.h"
#include "tree_diff.h"
#include "tree_scan.h"
#include "tree_store.h"
#include "zip_writer.h"

#include "script/encrypted_script.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <span>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kScriptEntry = "update.dat";
// Delta archives from this many of the last versions, by default.
constexpr int kDefaultCatchUp = 5;
constexpr int kCatchUpLimit = 20;

struct ReleaseOptions {
    fs::path serverDir, oldTree, newTree;
    std::string version;
    std::string description;
    std::optional<fs::path> secretKeyFile;
    std::optional<int> expiresDays;
    bool allowEmpty = false;                // a release that only records a new version
    bool changeKeys = false;                // NEW_TREE's config.dat may trust other keys
    std::optional<SigningRequest> signing;  // secretKeyFile's key, once read
    int catchUp = kDefaultCatchUp;          // delta archives from this many versions
    std::optional<fs::path> trees;          // where the trees of releases are kept
    bool dryRun = false;                    // prove, but publish nothing
};

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y/%m/%d", &local);
    return text;
}

std::optional<ReleaseOptions> parseOptions(Arguments args, std::string& error) {
    ReleaseOptions options;
    options.dryRun = takeFlag(args, "--dry-run");
    std::vector<std::string> positional;
    std::optional<std::string> secretKey, expires;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "--description" || arg == "--sign" || arg == "--expires" ||
                                arg == "--catch-up" || arg == "--trees";
        if (takesValue && i + 1 == args.size()) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        if (arg == "--description") {
            options.description = args[++i];
        } else if (arg == "--sign") {
            secretKey = args[++i];
        } else if (arg == "--expires") {
            expires = args[++i];
        } else if (arg == "--catch-up") {
            const std::string& value = args[++i];
            if (value.empty() || value.size() > 2 ||
                value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(value) > kCatchUpLimit) {
                error = "--catch-up takes a number of versions from 0 to " +
                        std::to_string(kCatchUpLimit);
                return std::nullopt;
            }
            options.catchUp = std::stoi(value);
        } else if (arg == "--trees") {
            options.trees = args[++i];
        } else if (arg == "--allow-empty") {
            options.allowEmpty = true;
        } else if (arg == "--change-keys") {
            options.changeKeys = true;
        } else if (arg.starts_with("--")) {
            error = "unknown option " + arg;
            return std::nullopt;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 4) {
        error = "release needs SERVER_DIR, OLD_TREE, NEW_TREE and VERSION";
        return std::nullopt;
    }
    if (expires && !secretKey) {
        error = "--expires needs --sign";
        return std::nullopt;
    }
    if (expires && !(options.expiresDays = parseValidDays(*expires))) {
        error = kValidDaysProblem;
        return std::nullopt;
    }
    options.secretKeyFile = secretKey;
    options.serverDir = positional[0];
    options.oldTree = positional[1];
    options.newTree = positional[2];
    options.version = positional[3];
    if (options.description.empty()) options.description = today();
    return options;
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

struct BaseVersion {
    float installed = 1.0f;
    float second = 1.0f;
};

// OLD_TREE's own version.dat, or what the engine writes when there is none.
BaseVersion oldTreeVersion(const fs::path& oldTree) {
    const std::string text =
        gd::readEncryptedFile(oldTree / kVersionFileName, gd::kVersionFileLimit);
    if (text.empty()) return {};
    return {gd::readVersionNumber(text, 0), gd::readVersionNumber(text, 1)};
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

bool writeArchive(int fd, const ReleaseOptions& options, const TreeDiff& diff,
                  const std::string& script, std::string& error) {
    std::string enciphered = script;
    gd::ScriptCipher::encrypt(enciphered.data(), enciphered.size());
    ZipWriter zip(fd);
    bool ok = static_cast<bool>(zip);
    for (const std::string& file : diff.shippedFiles) {
        if (!ok) break;
        ok = zip.addFile(kPayloadFolder + file, options.newTree / file);
        if (!ok) error = "cannot read " + (options.newTree / file).string();
    }
    // Beside the script, where the launcher's replacement looks for it.
    if (ok && diff.launcherChanged)
        ok = zip.addFile(gd::kLauncherExecutable, options.newTree / gd::kLauncherExecutable);
    // Last, so that no shipped file whose name contains UPDATE.DAT can be
    // taken for it.
    ok = ok && zip.addBytes(kScriptEntry, enciphered) && zip.close() && ::fsync(fd) == 0;
    if (!ok && error.empty())
        error = "cannot write the archive: " + std::string(std::strerror(errno));
    return ok;
}

void printSummary(CommandOutput& output, const TreeDiff& diff) {
    for (const std::string& line : diff.summary) {
        output.line(line, JsonObject()
                              .add("type", "change")
                              .add("change", line.substr(0, 1))
                              .add("path", line.substr(2)));
    }
    if (diff.empty()) output.text("(no file or folder changed)");
}

// Why `version` cannot follow the releases (or OLD_TREE's version), or empty.
std::string versionProblem(const std::vector<Release>& releases, float previous,
                           const ReleaseOptions& options, float version) {
    if (version > previous) return {};
    const std::string last = releases.empty()
                                 ? gd::formatVersion(previous) + ", the version of OLD_TREE"
                                 : releases.back().version + ", the last release";
    return "version " + options.version + " is not newer than " + last +
           " (versions compare as 32-bit floats)";
}

std::string tooLongMessage(std::size_t size) {
    return "filelist.dat would be " + std::to_string(size) +
           " bytes; launchers read only the first " + std::to_string(gd::kVersionScriptLimit) +
           " (shorten the descriptions in " + kRecordName +
           ", or offer fewer delta archives with --catch-up)";
}

// The releases with the new one, and the version script they make; nullopt
// when the script outgrows what launchers read.
std::optional<std::string> nextVersionScript(std::vector<Release>& releases,
                                             const ReleaseOptions& options,
                                             const std::string& archive, std::string& error) {
    releases.push_back({options.version, archive, options.description, {}});
    std::string script = versionScriptText(releases);
    if (script.size() > gd::kVersionScriptLimit) {
        error = tooLongMessage(script.size());
        return std::nullopt;
    }
    return script;
}

// The list's rules after its script: the delta archives and, signed, the
// pins of every archive it names. `newHash` is the new archive's, when signed.
std::optional<std::string> withRules(const std::string& script, const ReleaseOptions& options,
                                     std::vector<OfferedDelta> deltas,
                                     const std::vector<Release>& releases, const fs::path& live,
                                     const std::optional<gd::ContentHash>& newHash,
                                     std::string& error) {
    std::vector<std::pair<std::string, gd::ContentDigest>> pins;
    if (options.signing && newHash) {
        pins = listPins(releases, live, gd::digestOf(*newHash), error);
        if (!error.empty()) return std::nullopt;
    } else {
        for (OfferedDelta& delta : deltas) delta.hash.reset();
    }
    std::string full = script + versionRulesText(deltas, pins);
    if (full.size() > gd::kVersionScriptLimit) {
        error = tooLongMessage(full.size());
        return std::nullopt;
    }
    return full;
}

// The bases of the delta archives: OLD_TREE, then the newest kept trees of
// older versions (the releases', and the first release's OLD_TREE), as many
// as --catch-up asks for.
std::vector<CatchUpBase> catchUpBases(const ReleaseOptions& options, CommandOutput& output,
                                      bool firstRelease, const std::string& previousText,
                                      float previous) {
    std::vector<CatchUpBase> bases;
    if (options.catchUp == 0) return bases;
    bases.push_back({previousText, previous, options.oldTree});
    if (!options.trees) {
        if (options.catchUp > 1 && !firstRelease)
            output.text("(delta archives from " + previousText +
                        " only: --trees DIR keeps the trees of releases for more)");
        return bases;
    }
    const TreeStore store(*options.trees);
    std::vector<CatchUpBase> older;
    for (const std::string& version : store.versions()) {
        std::string ignored;
        const auto number = parseReleaseVersion(version, ignored);
        if (number && *number < previous) older.push_back({version, *number, *store.tree(version)});
    }
    std::sort(older.begin(), older.end(),
              [](const CatchUpBase& a, const CatchUpBase& b) { return a.number > b.number; });
    for (const CatchUpBase& base : older) {
        if (bases.size() == static_cast<std::size_t>(options.catchUp)) break;
        bases.push_back(base);
    }
    return bases;
}

// Keeps OLD_TREE (when not kept yet) and NEW_TREE for the delta archives of
// later releases. A failure costs those only: the release is out.
void keepTrees(const ReleaseOptions& options, const std::string& previousText,
               const TreeScan& oldScan, const TreeScan& newScan, const TreeDiff& diff) {
    if (!options.trees) return;
    const TreeStore store(*options.trees);
    std::string error;
    if (!store.keep(previousText, options.oldTree, oldScan, {}, {}, error) ||
        !store.keep(options.version, options.newTree, newScan, previousText, diff.unchangedFiles,
                    error))
        std::cerr << "gdtool: " << error << "; later releases offer fewer delta archives\n";
}

bool reportProof(CommandOutput& output, const std::vector<std::string>& differences, float previous,
                 const std::string& archive, const ReleaseOptions& options) {
    if (differences.empty()) return true;
    std::cerr << "gdtool: the proof failed: an installation at " << gd::formatVersion(previous)
              << " updated with " << archive << " differs from NEW_TREE "
              << options.newTree.string() << "; nothing was published:\n";
    for (const std::string& line : differences) {
        std::cerr << "  " << line << '\n';
        output.json(JsonObject().add("type", "difference").add("text", line));
    }
    return false;
}

// A fresh installation replays every archive from the first, so each must
// carry a signature by a key that installations trust: after a rotation the
// earlier ones need the new key's too. Says which lack this key's signature
// and how to give it to them.
void offerResigning(const fs::path& live, const std::vector<Release>& earlier,
                    const ReleaseOptions& options) {
    const gd::PublicKey key = options.signing->key.publicKey();
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
    if (lacking.empty()) return;
    std::string names;
    for (const std::string& name : lacking) names += (names.empty() ? "" : ", ") + name;
    std::cerr << "gdtool: not signed by this key: " << names
              << "; a new installation replays every earlier archive and would refuse these. "
                 "To sign them: gdtool resign "
              << live.string() << " " << options.secretKeyFile->string() << " --archives\n";
}

// What is published besides the archive.
struct Publication {
    std::string archive;
    std::optional<gd::ContentHash> archiveHash;  // with --sign: of the archive that was proved
    std::string versionScript;                   // plain text
    std::string treeListing;                     // the file kept beside the record
    std::vector<OfferedDelta> deltas;            // with --sign: each with its hash
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

// Record, version script, the tree's listing and (with --sign) signatures go
// into the staged tree, which then becomes the update directory in one step,
// so that the signatures go live together with what they sign.
bool publish(ServerPublication& publication, const ReleaseOptions& options,
             const std::vector<Release>& releases, Publication files, std::string& error) {
    gd::ScriptCipher::encrypt(files.versionScript.data(), files.versionScript.size());
    if (!publication.writeFile(kRecordName, recordText(releases), error) ||
        !publication.writeFile(kTreeListingName, files.treeListing, error) ||
        !publication.writeFile(kVersionScriptName, files.versionScript, error))
        return false;
    if (options.signing) {
        bool ok =
            writeSignature(publication, *options.signing, files.archive, files.archiveHash, error);
        for (const OfferedDelta& delta : files.deltas)
            ok = ok &&
                 writeSignature(publication, *options.signing, delta.archive, delta.hash, error);
        if (!ok || !writeSignature(publication, *options.signing, kVersionScriptName,
                                   gd::hashContent(files.versionScript), error))
            return false;
    }
    return publication.commit(error);
}

// Refusals that need the server's current state and both trees, before
// anything is built.
std::string releaseProblem(const ReleaseOptions& options, const fs::path& live,
                           const TreeDiff& diff) {
    if (!diff.problems.empty()) return diff.problems.front();
    if (const std::string held = heldSignatures(live); !options.signing && !held.empty())
        return live.string() + " holds signatures (" + held +
               "): a release without --sign would leave them beside files they do not sign, "
               "and signed installations would refuse it. Give --sign SECFILE, or remove "
               "every .minisig file there first to stop signing";
    if (diff.empty() && !options.allowEmpty)
        return "NEW_TREE changes nothing against OLD_TREE; give --allow-empty to publish a "
               "release that only records a new version";
    return configKeyProblem(options.oldTree, options.newTree, options.changeKeys);
}

// The archive, created new in the staged tree, proved, and hashed (for its
// signature) through the one descriptor it was written to. The exit code
// after the message when it cannot be published, kExitOk otherwise.
int buildArchive(CommandOutput& output, ServerPublication& publication,
                 const ReleaseOptions& options, const std::string& script, const ProofInput& proof,
                 Publication& files) {
    std::string error;
    const gd::UniqueFd archive = publication.createFile(files.archive, error);
    if (!archive) return fail(kExitOutput, error);
    if (!writeArchive(archive.get(), options, proof.diff, script, error))
        return fail(kExitOutput, files.archive + ": " + error);
    ProofInput input = proof;
    input.archive = descriptorPath(archive.get());
    if (!reportProof(output, proveRelease(input), input.previousVersion, files.archive, options))
        return kExitRefused;
    if (options.signing) files.archiveHash = gd::hashDescriptor(archive.get());
    return kExitOk;
}

// Says what a dry run proved; the staged tree goes with the publication, so
// nothing reaches the server.
void reportDryRun(CommandOutput& output, const std::string& archive, const ReleaseOptions& options,
                  const fs::path& live) {
    output.line("proved " + archive + " as version " + options.version +
                    "; nothing was published in " + live.string() + " (--dry-run)",
                JsonObject()
                    .add("type", "proved")
                    .add("archive", archive)
                    .add("version", options.version)
                    .add("server", live.string()));
}

int release(ReleaseOptions& options, CommandOutput& output) {
    std::string error;
    if (options.secretKeyFile) {
        // Read before anything is built, so that a wrong key costs nothing.
        auto key = readSecretKey(*options.secretKeyFile, error);
        if (!key) return fail(kExitInput, error);
        options.signing = SigningRequest{std::move(*key), options.expiresDays};
        // Installations at either tree take the list: those that have not
        // yet taken a config.dat that moves them to another folder too.
        options.signing->folders = treeFolders({options.oldTree, options.newTree});
    }
    const auto version = parseReleaseVersion(options.version, error);
    if (!version) return fail(kExitInput, error);
    if (error = descriptionProblem(options.description); !error.empty())
        return fail(kExitInput, error);
    const auto oldScan = scanInstallation(options.oldTree, "OLD_TREE", error);
    const auto newScan =
        oldScan ? scanInstallation(options.newTree, "NEW_TREE", error) : std::nullopt;
    if (!newScan) return fail(kExitInput, error);

    auto publication = ServerPublication::begin(options.serverDir, error);
    if (!publication) return fail(kExitInput, error);
    const fs::path& live = publication->live();
    auto releases = publishedReleases(live, error);
    if (!releases) return fail(kExitInput, error);
    const BaseVersion base = oldTreeVersion(options.oldTree);
    const float previous =
        releases->empty() ? base.installed : gd::readVersionNumber(releases->back().version, 0);
    if (error = versionProblem(*releases, previous, options, *version); !error.empty())
        return fail(kExitInput, error);
    const bool firstRelease = releases->empty();
    const std::string previousText =
        firstRelease ? shortVersion(previous) : releases->back().version;
    const TreeDiff diff = diffTrees(options.oldTree, *oldScan, options.newTree, *newScan);
    if (error = releaseProblem(options, live, diff); !error.empty()) return fail(kExitInput, error);
    std::string note;
    const auto listing = checkReleaseBase(
        {live, options.oldTree, *oldScan, options.newTree, *newScan, diff}, *releases, error, note);
    if (!listing) return fail(kExitInput, error);

    Publication files{
        archiveName(live, options.version), {}, {}, treeListingFile(options.version, *listing), {}};
    auto versionScript = nextVersionScript(*releases, options, files.archive, error);
    if (!versionScript) return fail(kExitInput, error);
    releases->back().tree = listingDigest(*listing);
    files.versionScript = std::move(*versionScript);
    const std::string script = patchScriptText(diff, options.version);
    if (script.size() > gd::kUpdateScriptLimit)
        return fail(kExitInput, "the update script would exceed the 1 MiB that launchers read");

    if (!note.empty()) output.line(note, JsonObject().add("type", "note").add("text", note));
    printSummary(output, diff);
    const int built = buildArchive(output, *publication, options, script,
                                   {options.oldTree,
                                    *oldScan,
                                    options.newTree,
                                    *newScan,
                                    diff,
                                    {},
                                    previous,
                                    base.second,
                                    *version},
                                   files);
    if (built != kExitOk) return built;

    auto deltas = makeCatchUpArchives(
        catchUpBases(options, output, firstRelease, previousText, previous),
        {options.newTree, *newScan, options.version, *version}, *publication, error);
    if (!deltas) return error.empty() ? kExitRefused : fail(kExitOutput, error);
    for (const OfferedDelta& delta : *deltas) {
        output.line("delta " + delta.archive + ": from " + delta.from + ", " +
                        std::to_string(delta.size) + " bytes",
                    JsonObject()
                        .add("type", "delta")
                        .add("archive", delta.archive)
                        .add("from", delta.from)
                        .add("bytes", static_cast<long long>(delta.size)));
    }
    files.deltas = std::move(*deltas);
    auto listed = withRules(files.versionScript, options, files.deltas, *releases, live,
                            files.archiveHash, error);
    if (!listed) return fail(kExitInput, error);
    files.versionScript = std::move(*listed);
    if (options.dryRun) {
        reportDryRun(output, files.archive, options, live);
        return kExitOk;
    }
    const std::vector<Release> earlier(releases->begin(), releases->end() - 1);
    if (!publish(*publication, options, *releases, std::move(files), error))
        return fail(kExitOutput, error);
    const std::string& archive = releases->back().archive;
    output.line("published " + archive + " as version " + options.version + " in " + live.string(),
                JsonObject()
                    .add("type", "published")
                    .add("archive", archive)
                    .add("version", options.version)
                    .add("server", live.string()));
    keepTrees(options, previousText, *oldScan, *newScan, diff);
    if (options.signing) offerResigning(live, earlier, options);
    return kExitOk;
}

}  // namespace

int releaseCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    std::string error;
    auto options = parseOptions(args, error);
    if (!options) return fail(error);
    return release(*options, output);
}

}  // namespace gdtool

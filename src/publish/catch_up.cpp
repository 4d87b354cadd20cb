#include "publish/catch_up.h"

#include "publish/delta_archive.h"
#include "publish/server_publication.h"
#include "publish/tree_diff.h"

#include "script/encrypted_script.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "update/delta_bases.h"
#include "update/update_worker.h"
#include "util/safe_path.h"
#include "util/unique_fd.h"

#include <sys/stat.h>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

// Whether anything has the name, a link that leads nowhere included.
bool taken(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::string freeName(const std::string& from, const std::string& version,
                     const ServerPublication& publication) {
    const std::string stem = "delta-" + from + "-" + version;
    std::string name = stem + ".zip";
    for (int n = 2; taken(publication.live() / name) || taken(publication.staged() / name) ||
                    taken(publication.live() / (name + ".minisig"));
         ++n)
        name = stem + "-" + std::to_string(n) + ".zip";
    return name;
}

std::optional<OfferedDelta> makeOne(const CatchUpBase& base, const CatchUpTarget& target,
                                    ServerPublication& publication, std::string& error,
                                    std::optional<ProofFailure>& failure) {
    std::vector<std::string> problems;
    const auto scan = scanTree(base.tree, problems);
    if (!scan || !problems.empty()) {
        error = "cannot read the tree of " + base.version + " in " + base.tree.string();
        return std::nullopt;
    }
    const TreeDiff diff = diffTrees(base.tree, *scan, target.tree, target.scan);
    if (!diff.problems.empty()) {
        error = diff.problems.front();
        return std::nullopt;
    }
    const std::string name = freeName(base.version, target.version, publication);
    const gd::UniqueFd archive = publication.createFile(name, error);
    if (!archive ||
        !writeDeltaArchive(archive.get(),
                           {base.tree, *scan, target.tree, target.scan, diff, target.version},
                           error)) {
        if (error.empty()) error = "cannot write " + name;
        return std::nullopt;
    }
    // Proved and hashed through the descriptor it was written to.
    const fs::path written = "/proc/self/fd/" + std::to_string(archive.get());
    const auto differences =
        proveRelease({base.tree, *scan, target.tree, target.scan, diff, written, base.number, 1.0f,
                      target.number, gd::ArchiveKind::Delta});
    if (!differences.empty()) {
        failure = ProofFailure{name, base.version, target.tree.string(), differences};
        return std::nullopt;
    }
    const auto hash = gd::hashDescriptor(archive.get());
    struct stat info {};
    if (!hash || ::fstat(archive.get(), &info) != 0) {
        error = "cannot read " + name;
        return std::nullopt;
    }
    // What an installation at base.version holds of the files the archive is
    // rebuilt from, for launchers to check before they download it.
    const auto head = gd::deltaHeadOf(archive.get());
    const auto installedBases =
        head ? gd::basesDigest(*head->bases, gd::directoryText(base.tree.string())) : std::nullopt;
    return OfferedDelta{base.version,
                        target.version,
                        name,
                        *hash,
                        static_cast<std::uint64_t>(info.st_size),
                        installedBases,
                        head ? head->format : gd::kDeltaPackFormat};
}

}  // namespace

std::optional<std::vector<OfferedDelta>> makeCatchUpArchives(const std::vector<CatchUpBase>& bases,
                                                             const CatchUpTarget& target,
                                                             ServerPublication& publication,
                                                             std::string& error,
                                                             std::optional<ProofFailure>& failure) {
    std::vector<OfferedDelta> made;
    for (const CatchUpBase& base : bases) {
        auto delta = makeOne(base, target, publication, error, failure);
        if (!delta) return std::nullopt;
        made.push_back(std::move(*delta));
    }
    return made;
}

std::string shortVersion(float version) {
    std::string text = gd::formatVersion(version);
    while (text.ends_with('0') && !text.ends_with(".0")) text.pop_back();
    return text;
}

}  // namespace gd::publish

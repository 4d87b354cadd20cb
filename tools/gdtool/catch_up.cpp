#include "catch_up.h"

#include "delta_archive.h"
#include "release_proof.h"
#include "tree_diff.h"

#include "script/encrypted_script.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "update/update_worker.h"

#include <iostream>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

std::string freeName(const std::string& from, const std::string& version, const fs::path& live,
                     const fs::path& staged) {
    const std::string stem = "delta-" + from + "-" + version;
    std::string name = stem + ".zip";
    std::error_code error;
    for (int n = 2; fs::exists(live / name, error) || fs::exists(staged / name, error) ||
                    fs::exists(live / (name + ".minisig"), error);
         ++n)
        name = stem + "-" + std::to_string(n) + ".zip";
    return name;
}

std::optional<OfferedDelta> makeOne(const CatchUpBase& base, const CatchUpTarget& target,
                                    const fs::path& live, const fs::path& staged,
                                    std::string& error) {
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
    const std::string name = freeName(base.version, target.version, live, staged);
    const fs::path path = staged / name;
    if (!writeDeltaArchive(path, {base.tree, *scan, target.tree, target.scan, diff, target.version},
                           error))
        return std::nullopt;
    const auto differences =
        proveRelease({base.tree, *scan, target.tree, target.scan, diff, path, base.number, 1.0f,
                      target.number, gd::ArchiveKind::Delta});
    if (!differences.empty()) {
        std::cerr << "gdtool: the proof failed: an installation at " << base.version
                  << " updated with " << name << " differs from " << target.tree.string()
                  << "; nothing was published:\n";
        for (const std::string& line : differences) std::cerr << "  " << line << '\n';
        return std::nullopt;
    }
    const auto digest = gd::digestFile(path);
    if (!digest) {
        error = "cannot read " + path.string();
        return std::nullopt;
    }
    std::cout << "delta " << name << ": from " << base.version << ", " << fs::file_size(path)
              << " bytes\n";
    return OfferedDelta{base.version, target.version, name, *digest};
}

}  // namespace

std::optional<std::vector<OfferedDelta>> makeCatchUpArchives(const std::vector<CatchUpBase>& bases,
                                                             const CatchUpTarget& target,
                                                             const fs::path& live,
                                                             const fs::path& staged,
                                                             std::string& error) {
    std::vector<OfferedDelta> made;
    for (const CatchUpBase& base : bases) {
        auto delta = makeOne(base, target, live, staged, error);
        if (!delta) return std::nullopt;
        made.push_back(std::move(*delta));
    }
    return made;
}

std::vector<std::pair<std::string, gd::ContentDigest>> listPins(
    const std::vector<Release>& releases, const fs::path& live, const fs::path& newArchive,
    std::string& error) {
    const gd::VersionRules current = gd::parseVersionRules(
        gd::readEncryptedFile(live / kVersionScriptName, gd::kUpdateScriptLimit));
    std::vector<std::pair<std::string, gd::ContentDigest>> pins;
    for (const Release& release : releases) {
        const bool isNew = &release == &releases.back();
        const fs::path file = isNew ? newArchive : live / release.archive;
        auto digest = isNew ? std::nullopt : current.digestFor(release.archive);
        std::error_code missing;
        if (!digest && !fs::exists(file, missing)) continue;
        if (!digest) digest = gd::digestFile(file);
        if (!digest) {
            error = "cannot read " + file.string();
            return {};
        }
        pins.emplace_back(release.archive, *digest);
    }
    return pins;
}

std::string shortVersion(float version) {
    std::string text = gd::formatVersion(version);
    while (text.ends_with('0') && !text.ends_with(".0")) text.pop_back();
    return text;
}

}  // namespace gdtool

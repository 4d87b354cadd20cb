// A whole-file archive of a release: every file that differs between two
// trees under files/, the launcher beside the script when it changed, and
// update.dat last. It is created new in the staged tree, proved by the
// engine on a copy of the older tree, and hashed through the descriptor it
// was written to, never through its name.
#pragma once

#include "publish/publish_failure.h"
#include "publish/release_proof.h"
#include "publish/server_publication.h"
#include "publish/tree_diff.h"
#include "publish/tree_scan.h"

#include "trust/content_digest.h"
#include "trust/content_hash.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace gd::publish {

struct WholeArchiveInput {
    std::string name;  // in the staged tree; must be free
    const std::filesystem::path& oldTree;
    const TreeScan& oldScan;
    const std::filesystem::path& newTree;
    const TreeScan& newScan;
    const TreeDiff& diff;       // from oldTree to newTree
    const std::string& script;  // update.dat, plain
    float from = 0;             // the version of an installation at oldTree
    float second = 1.0f;        // its version.dat's second number
    std::string fromText;       // `from` as the publisher names it
    float version = 0;          // what the engine must record
};

struct WholeArchive {
    gd::ContentHash hash;
    gd::ContentDigest digest;
    std::uint64_t size = 0;
};

// The archive, or nullopt with `failure` (Refused, with `proofFailure`,
// when the proof did not hold).
std::optional<WholeArchive> makeWholeArchive(ServerPublication& publication,
                                             const WholeArchiveInput& input, Failure& failure,
                                             std::optional<ProofFailure>& proofFailure);

}  // namespace gd::publish

// The delta archives of a release: one from each of the last versions whose
// tree is known (OLD_TREE, and those kept by --trees) straight to NEW_TREE,
// each proved as the whole-file archive is, so that an installation a few
// versions behind downloads one archive of what changed instead of the chain.
#pragma once

#include "publish/release_proof.h"
#include "publish/release_record.h"
#include "publish/tree_scan.h"

#include "trust/content_digest.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

class ServerPublication;

// A version whose tree a delta archive can start from.
struct CatchUpBase {
    std::string version;  // as the record writes it
    float number = 0;
    std::filesystem::path tree;
};

struct CatchUpTarget {
    const std::filesystem::path& tree;
    const TreeScan& scan;
    std::string version;
    float number = 0;
};

// The delta archives from `bases` to `target`, each created new in the
// staged tree of `publication` under a name that neither tree holds, proved
// and hashed through the descriptor it was written to. nullopt when one
// cannot be written (`error`) or its proof fails (`failure`, and `error`
// empty).
std::optional<std::vector<OfferedDelta>> makeCatchUpArchives(const std::vector<CatchUpBase>& bases,
                                                             const CatchUpTarget& target,
                                                             ServerPublication& publication,
                                                             std::string& error,
                                                             std::optional<ProofFailure>& failure);

// A version as the short text of its float ("1.0" for 1.000000), for the
// OLD_TREE of a first release, which the record does not name.
std::string shortVersion(float version);

}  // namespace gd::publish

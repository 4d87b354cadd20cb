// The proof of a release: the new archive applied by the engine itself to a
// copy of the previous installation must give the new tree exactly.
#pragma once

#include "publish/tree_diff.h"
#include "publish/tree_scan.h"

#include "update/update_worker.h"

#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

struct ProofInput {
    std::filesystem::path oldTree;
    const TreeScan& oldScan;
    std::filesystem::path newTree;
    const TreeScan& newScan;
    const TreeDiff& diff;
    std::filesystem::path archive;
    float previousVersion;  // the scratch installation's version.dat
    float secondVersion;    // its second number, carried along unchanged
    float version;          // what the engine must record
    gd::ArchiveKind kind = gd::ArchiveKind::Whole;
};

// Lays out OLD_TREE as an installation at the previous version in a private
// scratch folder under $TMPDIR (files hard-linked where possible: the engine
// replaces files by renaming new ones over them and never writes into one),
// applies the archive as an update run does (unpack, update.dat, the queue,
// version.dat, and what lcopy does for a new launcher) and compares the result
// with NEW_TREE: file set, folders, bytes, exec bits and the recorded version.
// Returns one line per difference or failure; empty when the proof holds.
std::vector<std::string> proveRelease(const ProofInput& input);

// A proof that did not hold: an installation at `from` updated with
// `archive` does not give `target` (as the publisher named it).
struct ProofFailure {
    std::string archive;
    std::string from;
    std::string target;
    std::vector<std::string> differences;
};

}  // namespace gd::publish

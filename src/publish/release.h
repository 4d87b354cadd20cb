// A release: the next patch archive from two installation trees, proved with
// the engine before the server's update directory changes in one step. It
// goes in two steps, so that the publisher sees what changed before the
// archives are built: planRelease checks everything that can refuse the
// release cheaply, carryOut builds, proves and publishes.
#pragma once

#include "publish/catch_up.h"
#include "publish/publish_failure.h"
#include "publish/release_proof.h"
#include "publish/release_record.h"
#include "publish/release_signing.h"
#include "publish/server_publication.h"
#include "publish/tree_diff.h"
#include "publish/tree_scan.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

// Delta archives from this many of the last versions, by default, and at most.
inline constexpr int kDefaultCatchUp = 5;
inline constexpr int kCatchUpLimit = 20;

struct ReleaseRequest {
    std::filesystem::path serverDir, oldTree, newTree;
    std::string version;
    std::string description;                     // the list's label of the release
    std::optional<SigningRequest> signing;       // none: an unsigned server
    bool allowEmpty = false;                     // a release that only records a new version
    bool changeKeys = false;                     // NEW_TREE's config.dat may trust other keys
    int catchUp = kDefaultCatchUp;               // delta archives from this many versions
    std::optional<std::filesystem::path> trees;  // where the trees of releases are kept
    bool dryRun = false;                         // prove, but publish nothing
};

// What OLD_TREE is as an installation before the release.
struct BaseVersion {
    float installed = 1.0f;
    float second = 1.0f;
};

// A release checked and ready to build: the server folder locked and
// mirrored, the record read and extended by the new release, both trees
// scanned and compared. Nothing is built yet.
struct ReleasePlan {
    ReleaseRequest request;
    ServerPublication publication;
    std::vector<Release> releases;  // the record, the new release last
    float version = 0;              // the new release's
    BaseVersion base;               // OLD_TREE's version.dat
    float previous = 0;             // the version installations are at before
    std::string previousText;       // the same as the record writes it
    bool firstRelease = false;
    TreeScan oldScan, newScan;
    TreeDiff diff;
    std::string note;           // what the publisher should know of the base; may be empty
    std::string archive;        // the name of the new archive
    std::string updateScript;   // its update.dat, plain
    std::string versionScript;  // filelist.dat without its rules, plain
    std::string treeListing;    // the file kept beside the record
};

// Everything that can refuse the release before an archive is built: the
// arguments, the record and the list beside it, the version, both trees, the
// keys of NEW_TREE's config.dat and the base. nullopt with `failure` set.
std::optional<ReleasePlan> planRelease(ReleaseRequest request, Failure& failure);

struct ReleaseResult {
    Failure failure;                           // Refused: see proofFailure
    std::optional<ProofFailure> proofFailure;  // the archive whose proof did not hold
    std::vector<std::string> notices;          // for the publisher, before the deltas
    std::vector<OfferedDelta> deltas;
    bool published = false;  // false for a dry run and after a failure
    // Why the trees of this release could not be kept (the release is out).
    std::string keepProblem;
    // Earlier archives that lack a signature by the release's key.
    std::vector<std::string> notSignedByKey;
};

// Builds the archive and the delta archives into the staged folder, proves
// each, and (unless a dry run) writes the record, the list and the
// signatures there and makes it the update directory in one step.
ReleaseResult carryOut(ReleasePlan& plan);

// OLD_TREE's own version.dat, or what the engine writes when there is none.
BaseVersion oldTreeVersion(const std::filesystem::path& oldTree);

}  // namespace gd::publish

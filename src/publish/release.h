// A release: the next patch archive from two installation trees, proved with
// the engine before the server's update directory changes in one step. It
// goes in two steps, so that the publisher sees what changed before the
// archives are built: planRelease checks everything that can refuse the
// release cheaply, carryOut builds, proves and publishes.
//
// A release may go to everyone (the chain of the list's Lua part), or be
// staged: offered to a share of the installations, or to those that opted
// into a channel, by the list's rules only. The chain always goes on from
// its own last release: OLD_TREE is that release's tree, and an
// installation on a staged release reaches every later one through a
// bridge, an archive made from the staged tree.
#pragma once

#include "publish/catch_up.h"
#include "publish/publish_failure.h"
#include "publish/publisher_data.h"
#include "publish/release_proof.h"
#include "publish/release_record.h"
#include "publish/release_signing.h"
#include "publish/server_publication.h"
#include "publish/server_state.h"
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
    std::string description;                // the list's label of the release
    std::optional<SigningRequest> signing;  // none: an unsigned server
    bool allowEmpty = false;                // a release that only records a new version
    bool changeKeys = false;                // NEW_TREE's config.dat may trust other keys
    int catchUp = kDefaultCatchUp;          // delta archives from this many versions
    // Where the trees of releases are kept; by default the publisher's data
    // folder of the server.
    std::optional<std::filesystem::path> trees;
    bool dryRun = false;  // prove, but publish nothing
    int share = 100;      // of the installations (of the channel) offered the release
    std::string channel;  // empty: every installation's
};

// What OLD_TREE is as an installation before the release.
struct BaseVersion {
    float installed = 1.0f;
    float second = 1.0f;
};

// A staged release that installations may hold, and its tree: the new
// release gets a bridge from it.
struct StagedBase {
    std::string version;
    float number = 0;
    std::filesystem::path tree;
};

// A release checked and ready to build: the server folder locked, mirrored
// and proved as published, the record read and extended by the new
// release, both trees scanned and compared. Nothing is built yet.
struct ReleasePlan {
    ReleaseRequest request;
    ServerPublication publication;
    std::optional<PublisherData> data;  // none: no place for the publisher's record
    ServerState state;                  // as found, proved
    std::vector<Release> releases;      // the record, the new release last
    float version = 0;                  // the new release's
    BaseVersion base;                   // OLD_TREE's version.dat
    float previous = 0;                 // the chain's version before (OLD_TREE's)
    std::string previousText;           // the same as the record writes it
    bool firstRelease = false;
    std::filesystem::path trees;      // where the trees of releases are kept
    std::vector<StagedBase> bridged;  // staged releases the new one gets a bridge from
    TreeScan oldScan, newScan;
    TreeDiff diff;
    std::vector<std::string> notes;  // what the publisher should know first
    std::string archive;             // the name of the new archive
    std::string updateScript;        // its update.dat, plain
    std::string treeListing;         // the file kept beside the record
};

// Everything that can refuse the release before an archive is built: the
// arguments, the update directory as published (see server_state.h), the
// version, both trees, the keys of their config.dat files against the
// signing key, and the base. nullopt with `failure` set.
std::optional<ReleasePlan> planRelease(ReleaseRequest request, Failure& failure);

struct ReleaseResult {
    Failure failure;                           // Refused: see proofFailure
    std::optional<ProofFailure> proofFailure;  // the archive whose proof did not hold
    std::vector<std::string> notices;          // for the publisher, before the deltas
    std::vector<OfferedDelta> deltas;
    std::vector<Bridge> bridges;
    std::uint64_t archiveSize = 0;  // of the whole-file archive
    bool published = false;         // false for a dry run and after a failure
    // Why the trees of this release could not be kept, or the publisher's
    // record not written (the release is out).
    std::string keepProblem;
    // Earlier archives that lack a signature by the release's key.
    std::vector<std::string> notSignedByKey;
};

// Builds the archive, the bridges and the delta archives into the staged
// folder, proves each, and (unless a dry run) writes the record, the list
// and the signatures there, makes it the update directory in one step and
// records what was published.
ReleaseResult carryOut(ReleasePlan& plan);

// OLD_TREE's own version.dat, or what the engine writes when there is none.
BaseVersion oldTreeVersion(const std::filesystem::path& oldTree);

// A revert: the kept tree of `good` published as the new `request.version`
// to everyone, from the kept tree of the chain's last release. OLD_TREE and
// NEW_TREE of `request` are set here.
std::optional<ReleasePlan> planRevert(ReleaseRequest request, const std::string& good,
                                      Failure& failure);

}  // namespace gd::publish

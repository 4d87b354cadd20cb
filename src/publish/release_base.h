// The base of a release: OLD_TREE must be the tree that the last release
// brings installations to, as the record's digest of it says, or the archive
// would be built (and proved) against a tree that no installation holds.
#pragma once

#include "publish/release_record.h"
#include "publish/tree_diff.h"
#include "publish/tree_digest.h"
#include "publish/tree_scan.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

struct ReleaseTrees {
    const std::filesystem::path& live;  // the update directory, for the last tree's listing
    const std::filesystem::path& oldTree;
    const TreeScan& oldScan;
    const std::filesystem::path& newTree;
    const TreeScan& newScan;
    const TreeDiff& diff;
};

// NEW_TREE's listing, once OLD_TREE is found to be the last release's tree.
// A last release recorded without a digest (a record older than digests)
// takes OLD_TREE's, which `note` then says. nullopt with the refusal in
// `error`, which shows in short how OLD_TREE differs when the listing beside
// the record is that of the last release.
std::optional<TreeListing> checkReleaseBase(const ReleaseTrees& trees,
                                            std::vector<Release>& releases, std::string& error,
                                            std::string& note);

// The file kept beside the record: the header and the listing.
std::string treeListingFile(const std::string& version, const TreeListing& listing);

}  // namespace gd::publish

#include "publish/release_base.h"

#include "publish/key_files.h"

#include <algorithm>

namespace gd::publish {

namespace {

constexpr std::size_t kDifferencesShown = 10;

std::optional<TreeListing> keptListing(const std::filesystem::path& live) {
    const auto text = readServerFile(live / kTreeListingName);
    if (!text) return std::nullopt;
    return parseListing(*text);
}

// How OLD_TREE differs from the last release's tree, when the listing kept
// beside the record is that tree's.
std::string differencesFrom(const std::filesystem::path& live, const Release& last,
                            const TreeListing& found) {
    const auto recorded = keptListing(live);
    if (!recorded || listingDigest(*recorded) != last.tree)
        return "\n(" + std::string(kTreeListingName) +
               " does not hold that tree, so how they differ cannot be shown)";
    std::string lines;
    for (const std::string& line : listingDifferences(*recorded, found, kDifferencesShown))
        lines += "\n  " + line;
    return lines;
}

}  // namespace

std::optional<TreeListing> checkReleaseBase(const ReleaseTrees& trees,
                                            std::vector<Release>& releases, std::string& error,
                                            std::string& note) {
    auto newListing = listTree(trees.newTree, trees.newScan, error);
    if (!newListing) return std::nullopt;
    if (releases.empty()) return newListing;
    const auto oldListing =
        listTree(trees.oldTree, trees.oldScan, error, *newListing, trees.diff.unchangedFiles);
    if (!oldListing) return std::nullopt;
    const std::string digest = listingDigest(*oldListing);
    // The chain's last release: a staged one after it is no base.
    auto general = std::find_if(releases.rbegin(), releases.rend(),
                                [](const Release& release) { return release.general(); });
    if (general == releases.rend()) return newListing;
    Release& last = *general;
    if (last.tree.empty()) {
        last.tree = digest;
        note = std::string(kRecordName) + " recorded no tree for " + last.version + ": " +
               trees.oldTree.string() + " is taken as its tree";
        return newListing;
    }
    if (digest == last.tree) return newListing;
    const std::string which = &last == &releases.back() ? "" : " that everyone is offered";
    error = "OLD_TREE " + trees.oldTree.string() + " is not the tree of release " + last.version +
            ", the last in " + kRecordName + which +
            "; give the NEW_TREE that release was made from " + "(an installation updated to " +
            last.version + " holds it too). " +
            "OLD_TREE differs from it:" + differencesFrom(trees.live, last, *oldListing);
    return std::nullopt;
}

std::string treeListingFile(const std::string& version, const TreeListing& listing) {
    return "# The tree of release " + version + ", whose digest " + kRecordName +
           " records; the next gdtool release compares its OLD_TREE with it.\n" +
           listingText(listing);
}

}  // namespace gd::publish

// What a release was made for: the tree it describes, as a listing of every
// path with its kind and content hash, and the digest of that listing that
// the release record keeps. The next release is refused unless its OLD_TREE
// has the digest of the last release's tree, so that an archive is never
// built against another tree than the one installations hold.
#pragma once

#include "publish/tree_scan.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace gd::publish {

// The listing of the last release's tree, kept beside the record so that a
// refusal can say how a wrong OLD_TREE differs from it.
inline constexpr const char* kTreeListingName = "releases-tree.txt";

// Path ('/' between folders) to "d" for a folder, "f <hash>" for a file and
// "x <hash>" for an executable one (hash: BLAKE2b-512 in hex). version.dat
// at the root is left out: the engine writes it, it never travels.
using TreeListing = std::map<std::string, std::string>;

// The listing of the scanned tree at `root`. Files named in `sameAsKnown`
// are alike in `known` (another tree's listing) and are not read again.
// nullopt with the file at fault in `error` when one cannot be read.
std::optional<TreeListing> listTree(const std::filesystem::path& root, const TreeScan& scan,
                                    std::string& error, const TreeListing& known = {},
                                    const std::set<std::string>& sameAsKnown = {});

// One line per path, in byte order, its path last with '\', CR and LF
// escaped, so that the text and its digest are the same wherever they are made.
std::string listingText(const TreeListing& listing);
std::optional<TreeListing> parseListing(std::string_view text);
// The BLAKE2b-512 of listingText in hex.
std::string listingDigest(const TreeListing& listing);

// At most `limit` lines for the publisher ("changed PATH", "missing PATH",
// "unexpected PATH", then "... and N more") of what `found` has that
// `recorded` does not, or the other way round.
std::vector<std::string> listingDifferences(const TreeListing& recorded, const TreeListing& found,
                                            std::size_t limit);

}  // namespace gd::publish

// The trees of earlier releases, kept on the publisher's machine (gdtool
// release --trees DIR), so that a release can make delta archives from more
// versions than its OLD_TREE. Each tree is a folder named by its version; a
// file that did not change between two kept trees is one file under two
// names (a hard link), so that keeping a release costs what it changed. Kept
// files are read-only, and a tree appears under its name only once whole.
#pragma once

#include "publish/tree_scan.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace gd::publish {

class TreeStore {
  public:
    explicit TreeStore(std::filesystem::path dir) : dir_(std::move(dir)) {}

    // The kept tree of `version`, if there is one.
    std::optional<std::filesystem::path> tree(const std::string& version) const;
    // The versions of the kept trees, as they are named.
    std::vector<std::string> versions() const;

    // Keeps `tree` (scanned as `scan`) as `version`, unless it is kept
    // already. Files in `unchanged` (alike in `tree` and the kept tree of
    // `previous`) are linked to that tree's. False with `error`; nothing is
    // kept then.
    bool keep(const std::string& version, const std::filesystem::path& tree, const TreeScan& scan,
              const std::string& previous, const std::set<std::string>& unchanged,
              std::string& error) const;

  private:
    std::filesystem::path dir_;
};

}  // namespace gd::publish

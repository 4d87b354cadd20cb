// What changed between two installation trees, in the order an update script
// has to carry it out.
#pragma once

#include "publish/tree_scan.h"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace gd::publish {

// The launcher replaces itself through lcopy, never by a plain copy.
// The engine records versions itself; this file never travels in an archive.
inline constexpr const char* kVersionFileName = "version.dat";

struct TreeDiff {
    std::vector<std::string> removedFiles;    // files that went away or became folders
    std::vector<std::string> removedFolders;  // deepest first
    std::vector<std::string> addedFolders;    // outermost first
    std::vector<std::string> shippedFiles;    // added or changed in bytes or exec bit
    bool launcherChanged = false;             // the launcher is a file in both and differs
    std::set<std::string> unchangedFiles;     // files alike in both trees
    // One line per change for the publisher: "A file", "M file", "X file"
    // (exec bit only), "D file", "A folder/", "D folder/", "L GrooveDeck".
    std::vector<std::string> summary;
    std::vector<std::string> problems;  // files that could not be read

    bool empty() const {
        return removedFiles.empty() && removedFolders.empty() && addedFolders.empty() &&
               shippedFiles.empty() && !launcherChanged;
    }
};

// Compares the scans of `oldRoot` and `newRoot`, reading the bytes of files
// whose sizes match. version.dat at the root is left out.
TreeDiff diffTrees(const std::filesystem::path& oldRoot, const TreeScan& oldScan,
                   const std::filesystem::path& newRoot, const TreeScan& newScan);

}  // namespace gd::publish

// A delta archive: what takes an installation of one tree to another, with
// every shipped file (and the launcher) rebuilt from the installed one by a
// delta pack instead of carried whole. Only launchers that know the rules of
// filelist.dat fetch one; the others take the chain of whole-file archives.
#pragma once

#include "publish/tree_diff.h"
#include "publish/tree_scan.h"

#include <filesystem>
#include <string>

namespace gd::publish {

struct DeltaArchiveInput {
    std::filesystem::path oldTree;
    const TreeScan& oldScan;
    std::filesystem::path newTree;
    const TreeScan& newScan;
    const TreeDiff& diff;  // from oldTree to newTree
    std::string version;   // of newTree
};

// Writes the archive into `fd`, an empty file: the delta pack (made in a
// private folder first), then update.dat, the script of a whole-file archive
// of the same diff. False with `error`.
bool writeDeltaArchive(int fd, const DeltaArchiveInput& input, std::string& error);

}  // namespace gd::publish

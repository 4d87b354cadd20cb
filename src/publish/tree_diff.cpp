#include "publish/tree_diff.h"

#include "install/install_paths.h"

#include <algorithm>

namespace gd::publish {

namespace {

class Differ {
  public:
    Differ(const std::filesystem::path& oldRoot, const std::filesystem::path& newRoot)
        : oldRoot_(oldRoot), newRoot_(newRoot) {}

    void removed(const std::string& path, const TreeEntry& entry) {
        if (entry.folder) {
            diff.removedFolders.push_back(path);
            diff.summary.push_back("D " + path + "/");
        } else {
            diff.removedFiles.push_back(path);
            diff.summary.push_back("D " + path);
        }
    }

    void added(const std::string& path, const TreeEntry& entry) {
        if (entry.folder) {
            diff.addedFolders.push_back(path);
            diff.summary.push_back("A " + path + "/");
        } else {
            diff.shippedFiles.push_back(path);
            diff.summary.push_back("A " + path);
        }
    }

    void compared(const std::string& path, const TreeEntry& before, const TreeEntry& after) {
        if (before.folder != after.folder) {
            removed(path, before);
            added(path, after);
            return;
        }
        if (before.folder) return;
        const bool sameBytes = sameContent(path, before, after);
        if (sameBytes && before.executable == after.executable) {
            diff.unchangedFiles.insert(path);
            return;
        }
        if (path == gd::kLauncherExecutable) {
            diff.launcherChanged = true;
            diff.summary.push_back("L " + path);
            return;
        }
        diff.shippedFiles.push_back(path);
        diff.summary.push_back((sameBytes ? "X " : "M ") + path);
    }

    TreeDiff diff;

  private:
    bool sameContent(const std::string& path, const TreeEntry& before, const TreeEntry& after) {
        if (before.device == after.device && before.inode == after.inode) return true;
        if (before.size != after.size) return false;
        switch (compareFiles(oldRoot_ / path, newRoot_ / path)) {
            case Comparison::Same:
                return true;
            case Comparison::Different:
                return false;
            case Comparison::Unreadable:
                break;
        }
        diff.problems.push_back("cannot read " + path + " in OLD_TREE " + oldRoot_.string() +
                                " or NEW_TREE " + newRoot_.string());
        return false;
    }

    std::filesystem::path oldRoot_;
    std::filesystem::path newRoot_;
};

}  // namespace

TreeDiff diffTrees(const std::filesystem::path& oldRoot, const TreeScan& oldScan,
                   const std::filesystem::path& newRoot, const TreeScan& newScan) {
    Differ differ(oldRoot, newRoot);
    auto before = oldScan.begin();
    auto after = newScan.begin();
    while (before != oldScan.end() || after != newScan.end()) {
        const bool takeOld =
            after == newScan.end() || (before != oldScan.end() && before->first < after->first);
        const bool takeNew =
            before == oldScan.end() || (after != newScan.end() && after->first < before->first);
        const std::string& path = takeOld ? before->first : after->first;
        if (path == kVersionFileName) {
            // never shipped: skipped on whichever side holds it
        } else if (takeOld) {
            differ.removed(path, before->second);
        } else if (takeNew) {
            differ.added(path, after->second);
        } else {
            differ.compared(path, before->second, after->second);
        }
        if (!takeNew) ++before;
        if (!takeOld) ++after;
    }
    TreeDiff& diff = differ.diff;
    // Byte order puts a folder before what it holds: removals go the other way.
    std::reverse(diff.removedFolders.begin(), diff.removedFolders.end());
    std::reverse(diff.removedFiles.begin(), diff.removedFiles.end());
    return std::move(diff);
}

}  // namespace gd::publish

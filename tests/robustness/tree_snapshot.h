// A directory tree as data: every path below a root with its kind, its bytes
// and its exec bit, so that two trees can be compared whole.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace gdtest {

struct TreeNode {
    enum class Kind { File, Directory, Link, Other };
    Kind kind = Kind::File;
    std::string bytes;        // a file's content, a link's target
    bool executable = false;  // the owner's exec bit of a file
};

// Relative path ('/' between directories) to node. The root itself is left out.
using Tree = std::map<std::string, TreeNode>;

// Reads the tree below `root` without following links. With `withBytes`
// false, files are recorded without their content.
Tree snapshotTree(const std::filesystem::path& root, bool withBytes = true);

// One line per difference ("missing X", "unexpected X", "content of X",
// "kind of X", "exec bit of X"); empty when the trees are equal.
std::string treeDifferences(const Tree& expected, const Tree& actual);

}  // namespace gdtest

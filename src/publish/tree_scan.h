// An installation tree as data: every file and folder below a root, with
// what tells two trees apart cheaply (size, exec bit) and what tells whether
// a file was touched since it was scanned (inode and time stamps).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

struct TreeEntry {
    bool folder = false;
    std::uint64_t size = 0;
    bool executable = false;  // the owner's exec bit of a file
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    timespec changed{};
};

// Relative path ('/' between folders) to entry, in byte order, so that a
// folder comes before everything in it. The root itself is left out.
using TreeScan = std::map<std::string, TreeEntry>;

// Scans the tree below `root` without following links. Links and special
// files cannot be part of an installation: each gives a line in `problems`,
// as does anything that cannot be read. nullopt when `root` is no folder.
std::optional<TreeScan> scanTree(const std::filesystem::path& root,
                                 std::vector<std::string>& problems);

// Whether the file still is the very one that was scanned: same inode, size
// and time stamps. Any write or mode change moves the change time, so an
// untouched file holds the bytes it held when it was scanned.
bool untouchedSince(const TreeEntry& scanned, const TreeEntry& now);

enum class Comparison { Same, Different, Unreadable };

// Compares the bytes of two files of the same size.
Comparison compareFiles(const std::filesystem::path& first, const std::filesystem::path& second);

}  // namespace gd::publish

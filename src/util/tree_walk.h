// Reaching a path inside a directory tree without following symbolic links.
// Every component below the tree's directory is opened from the one above it
// with O_NOFOLLOW, so a link that someone planted in a shared installation
// stops the walk instead of leading out of the tree, and a component swapped
// for a link in the middle of the walk is seen as the link it now is.
#pragma once

#include "util/safe_path.h"
#include "util/unique_fd.h"

#include <optional>
#include <string>

namespace gd {

// The open directory that holds a path's last component, and that component's
// name in it ("." for the tree's directory itself).
struct TreeLocation {
    UniqueFd directory;
    std::string name;
};

// Opens path.base (the one place where links are followed: it is where the
// caller put the tree) and walks down to the directory holding the last
// component of path.relative. nullopt, with errno set, when that fails: ELOOP
// when a component is a symbolic link, ENOENT or ENOTDIR when one is missing
// or not a directory.
std::optional<TreeLocation> locateInTree(const TreePath& path);

}  // namespace gd

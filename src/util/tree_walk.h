// Reaching a path inside a directory tree without following symbolic links
// that someone else could have planted. Every component below the tree's
// directory is opened from the one above it with O_NOFOLLOW, so a link in a
// shared installation stops the walk instead of leading out of the tree, and
// a component swapped for a link in the middle of the walk is seen as the
// link it now is. The one kind of link that is followed is the user's own: a
// link that the running user (or root) owns, leading to a directory that the
// running user owns, as a folder moved to another disk and linked back is.
// Names are matched as the original platform matched them (see name_case.h).
#pragma once

#include "util/safe_path.h"
#include "util/unique_fd.h"

#include <optional>
#include <string>

namespace gd {

class FolderNames;

// The open directory that holds a path's last component, and that component's
// name in it ("." for the tree's directory itself): the entry of exactly that
// name, else the one that differs from it in case only, else (a new entry)
// the name as written.
struct TreeLocation {
    UniqueFd directory;
    std::string name;
};

// Why a walk stopped.
struct TreeWalkFailure {
    // ENOENT or ENOTDIR: a folder on the way is missing or is no folder;
    // ELOOP: a link that is not followed; ENOTUNIQ: a name that several
    // entries match in all but case; anything else: what the system said.
    int error = 0;
    std::string at;   // the path below the tree's directory where it stopped
    std::string why;  // in plain words
};

// Opens path.base (where links are followed: it is where the caller put the
// tree) and walks down to the directory holding the last component of
// path.relative. nullopt, with errno set as TreeWalkFailure::error says and
// `failure` filled, when that fails.
// `names`, when given, keeps what the walk reads of folders for the next,
// and the folder it reached last, from which a walk to the same folder
// starts instead of from the base.
std::optional<TreeLocation> locateInTree(const TreePath& path, TreeWalkFailure& failure,
                                         FolderNames* names = nullptr);
std::optional<TreeLocation> locateInTree(const TreePath& path);

// The directory that the link `name` in `directory` leads to, opened, when
// the walk follows that link (see above); otherwise an empty descriptor,
// errno ELOOP (or the system's reason) and `why` in plain words. The link is
// judged by the same inode that is read, so swapping it meanwhile changes
// nothing; its target is walked one component at a time, and a link on the
// way is followed only when the user or root owns it, by the same rule.
UniqueFd followOwnLink(int directory, const std::string& name, std::string& why);

}  // namespace gd

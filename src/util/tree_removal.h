// Removing a directory tree without following links: every directory below
// the one the caller holds is opened from its parent with O_NOFOLLOW, and a
// link is removed as the link it is, never what it points at.
#pragma once

#include <stop_token>
#include <string>

namespace gd {

// Removes the entry `name` of the open directory `directoryFd`, a directory
// with everything in it. True once it is gone (also when it was not there);
// false when something could not be removed or `stop` was requested, which
// is looked at before every entry. What was not removed stays.
bool removeTreeAt(int directoryFd, const std::string& name, std::stop_token stop = {});
// The same for everything in the open directory `directoryFd`, which stays.
bool removeTreeContents(int directoryFd, std::stop_token stop = {});

}  // namespace gd

// One update at a time per installation, whoever starts it: the window of
// any user, gdtool, or several of them. A run holds an exclusive flock on the
// installation's folder for as long as it lives; the kernel lets it go with
// the descriptor, so a killed run never leaves the installation locked, and
// nothing is written into the installation for it.
#pragma once

#include "util/unique_fd.h"

#include <string>

namespace gd {

class InstallationLock {
  public:
    // Takes the lock of the installation at `launcherDir` unless another run
    // holds it. A folder that cannot be opened, or a file system without
    // locks, gives a lock that holds nothing: the run goes on as runs did
    // before there were locks, and fails where the folder fails it.
    explicit InstallationLock(const std::string& launcherDir);

    // Another run holds the installation: this one must not touch it.
    bool busy() const { return busy_; }

  private:
    UniqueFd folder_;
    bool busy_ = false;
};

// Why a run that found the installation busy changed nothing, in plain words.
std::string busyReason(const std::string& launcherDir);

}  // namespace gd

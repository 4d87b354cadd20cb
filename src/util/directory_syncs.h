// The folders whose new names must reach the disk before a batch of changes
// counts as done: each is synced once at the end instead of after every
// file renamed into it.
#pragma once

#include "util/unique_fd.h"

#include <sys/types.h>

#include <utility>
#include <vector>

namespace gd {

class DirectorySyncs {
  public:
    // Remembers the folder open as `directoryFd` (duplicated), once.
    void add(int directoryFd);
    // Syncs every folder added; false when one could not be synced.
    bool flush();

  private:
    std::vector<std::pair<dev_t, ino_t>> seen_;
    std::vector<UniqueFd> directories_;
};

}  // namespace gd

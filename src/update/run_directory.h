// The private directory of one update run: made with mode 0700 under the
// system temporary directory, removed with everything in it when the run ends.
// A run killed before it could remove its directory leaves it behind; the
// next start of the launcher or of gdtool removes it (removeStaleRunDirectories).
// A live run holds its directory locked (flock) from before its first use to
// after its removal, which is how a stale one is told from a live one.
#pragma once

#include "util/unique_fd.h"

#include <filesystem>
#include <stop_token>

namespace gd {

class RunDirectory {
  public:
    RunDirectory();  // path() is empty when the directory could not be made
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;
    ~RunDirectory();

    explicit operator bool() const { return !path_.empty(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    UniqueFd lock_;  // the directory itself, locked for the run's life
};

// Removes the run directories that this user's earlier runs left under the
// temporary directory: those that no live run holds locked. Another user's
// directories, links and anything else are left alone, and nothing is
// followed through a link. Stops early when `stop` is requested.
void removeStaleRunDirectories(std::stop_token stop = {});

}  // namespace gd

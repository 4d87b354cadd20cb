// The private directory of one update run: made with mode 0700 under the
// system temporary directory, removed with everything in it when the run ends.
#pragma once

#include <filesystem>

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
};

}  // namespace gd

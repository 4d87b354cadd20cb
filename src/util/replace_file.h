// Replacing a file in one step. The new content goes into a file without a
// name in the target's directory (O_TMPFILE); it gets a name only once it is
// complete and synced, and is at once renamed over the target. Readers see
// the old or the new file, and a process killed at any moment leaves nothing
// behind in the directory, short of the instant between naming and renaming.
// Where the file system has no unnamed files, or /proc (through which an
// unnamed file is named) is missing, a named sibling is written instead,
// which a killed process leaves behind.
//
// Every step after the directory is opened (the new file, its name, the
// rename, the directory sync) works on that directory's handle, so a caller
// that reached the directory without following links is never led elsewhere.
#pragma once

#include "util/unique_fd.h"

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace gd {

class FileReplacement {
  public:
    // Opens the new file beside `target`, created with `mode` less the umask.
    FileReplacement(const std::filesystem::path& target, mode_t mode);
    // The same for the file `name` in the open directory `directoryFd`, which
    // is duplicated: the caller may close its own handle.
    FileReplacement(int directoryFd, std::string name, mode_t mode);
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();  // discards a file that was not committed

    explicit operator bool() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }

    // Syncs and closes the new file, renames it over the target and syncs the
    // directory. False when a step failed: the target then keeps its old
    // content and the new file is gone.
    bool commit();

  private:
    void open(mode_t mode);
    bool giveName();

    UniqueFd directory_;
    std::string target_;   // the name in directory_
    std::string sibling_;  // the new file's name while it has one
    UniqueFd fd_;
};

}  // namespace gd

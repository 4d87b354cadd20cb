// Changing the server's update directory in one step. The new tree is built
// in a sibling folder (unchanged files as hard links, so nothing is copied),
// and the two folders then trade names in one renameat2(RENAME_EXCHANGE): at
// every instant the update directory is the whole old tree or the whole new
// one, to the FTP server and after a crash alike. A crash leaves at most the
// sibling folder, which the next publication removes.
#pragma once

#include "util/unique_fd.h"

#include <filesystem>
#include <optional>
#include <string>

namespace gd::publish {

class ServerPublication {
  public:
    // Locks the update directory's parent against another publication, sweeps
    // what a crashed one left there and mirrors the current tree into a new
    // sibling folder with the directory's mode and owner. nullopt with the
    // reason in `error` when any step fails; nothing is changed then.
    static std::optional<ServerPublication> begin(const std::filesystem::path& serverDir,
                                                  std::string& error);

    ServerPublication(ServerPublication&& other) noexcept;
    ServerPublication& operator=(ServerPublication&&) = delete;
    ~ServerPublication();  // removes the sibling folder unless committed

    // The live update directory (resolved) and the folder that becomes it.
    const std::filesystem::path& live() const { return live_; }
    const std::filesystem::path& staged() const { return staged_; }

    // Writes `bytes` as the new file `name` of the staged tree, replacing the
    // linked one by a new file, never writing into it (it is also the live
    // file). Flushed to disk before it returns.
    bool writeFile(const std::string& name, const std::string& bytes, std::string& error);

    // Creates the new file `name` in the staged tree, open for reading and
    // writing. Whatever holds that name already, a link above all, makes it
    // fail: nothing is ever written through an entry that came from the live
    // tree. An empty descriptor with `error` set on failure.
    gd::UniqueFd createFile(const std::string& name, std::string& error);

    // Removes `name`, made by createFile, from the staged tree again.
    void drop(const std::string& name);

    // Flushes the staged tree, trades it for the live one and removes the old
    // tree. False with `error` when the trade did not happen: the live tree
    // is then untouched.
    bool commit(std::string& error);

  private:
    ServerPublication(std::filesystem::path live, std::filesystem::path staged, gd::UniqueFd lock);

    std::filesystem::path live_;
    std::filesystem::path staged_;
    gd::UniqueFd stagedFd_;  // the folder made for staged_, opened once
    gd::UniqueFd parentLock_;
    bool committed_ = false;
};

}  // namespace gd::publish

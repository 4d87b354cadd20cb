// The launcher's log: what each run said and why, for the user to pass on
// when an update does not happen. $XDG_STATE_HOME/groovedeck/launcher.log
// (~/.local/state/groovedeck/launcher.log by default), appended to by every
// run; a log past kLogRotateSize at start moves to launcher.log.1, replacing
// the one there, so two runs' worth at most are kept.
#pragma once

#include "util/unique_fd.h"

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

namespace gd {

inline constexpr std::size_t kLogRotateSize = 256 * 1024;

class LauncherLog {
  public:
    // Opens (making its folder, mode 0700) the log at `path`; a log that
    // cannot be opened takes every line and keeps none. So does one whose
    // folder is not the user's own folder, or whose name holds anything but
    // the user's own plain file (a link, a FIFO, a device, a hard link).
    explicit LauncherLog(const std::filesystem::path& path);
    LauncherLog(const LauncherLog&) = delete;
    LauncherLog& operator=(const LauncherLog&) = delete;

    // The log's place for this user; nullopt without a home directory.
    static std::optional<std::filesystem::path> defaultPath();

    // Appends "YYYY-MM-DD hh:mm:ss <line>" with the local time; line breaks
    // in `line` become " | " and every other control character is escaped
    // (util/text_escape.h), so that every entry is one line. Any thread.
    void write(std::string_view line);

  private:
    std::mutex mutex_;
    UniqueFd fd_;
};

}  // namespace gd

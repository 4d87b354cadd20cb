// The user's own folders: the home directory and the XDG base directories
// below it.
#pragma once

#include "util/unique_fd.h"

#include <filesystem>
#include <optional>

namespace gd {

// $HOME when it is an absolute path, otherwise the home directory of the
// password database; nullopt when neither names one.
std::optional<std::filesystem::path> homeDir();

// The XDG base directory that `variable` names (XDG_STATE_HOME, ...) when it
// is set to an absolute path, otherwise `fallback` (".local/state", ...)
// under the home directory; nullopt without a home directory.
std::optional<std::filesystem::path> xdgBaseDir(const char* variable, const char* fallback);

// The launcher's folder of the user's cache, $XDG_CACHE_HOME/groovedeck
// (~/.cache/groovedeck), made when missing and opened without following a
// link; closed to others (mode 0700). nullopt when it is not the user's own
// folder or cannot be made.
std::optional<UniqueFd> openUserCacheFolder();

}  // namespace gd

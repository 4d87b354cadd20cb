// The new launcher that a run leaves beside the running one, for lcopy to
// put in place once the launcher has ended. It is staged before the archive
// that brought it is recorded as applied, and it stays until lcopy has put
// it in place, so a replacement that did not happen (lcopy missing, timed
// out, killed) is found again by the next start or update.
#pragma once

#include "install/install_paths.h"
#include "update/patch.h"

#include <optional>
#include <string>

namespace gd {

inline constexpr const char* kStagedLauncherName = "GrooveDeck.new";

// What lcopy is started with: the new launcher and the one it replaces.
struct LauncherReplacement {
    std::string source;
    std::string target;
};

// Copies the new launcher `source` to launcherDir + kStagedLauncherName. With
// CopyMode::KeepTarget it takes the running launcher's permission bits (or
// those of a new executable). Skipped when the archive holds no launcher.
OperationResult stageLauncher(const std::string& source, CopyMode mode,
                              const std::string& launcherDir);

// The staged launcher of an earlier run that is still waiting: a regular,
// non-empty file (never a link), with the launcher it replaces.
std::optional<LauncherReplacement> findStagedLauncher(const std::string& launcherDir);

// Whether the person was told already that lcopy could not take the launcher
// staged now: a start of the launcher says so once per staged launcher, not
// at every start. A launcher staged anew (another file) is told about again.
bool copierFailureSaid(const std::string& launcherDir);
// Notes that it was said for the launcher staged now; forgotten when nothing
// is staged any more.
void noteCopierFailureSaid(const std::string& launcherDir);
void forgetCopierFailure(const std::string& launcherDir);

}  // namespace gd

// Running the enciphered update script (update.dat) of one patch archive.
#pragma once

#include "script/lua_state.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace gd {

class PatchQueue;
class VersionManifest;
struct UnpackedArchive;

// Runs the script at `scriptPath` in a fresh Lua state (every standard
// library, and of debug only traceback and getinfo; `timeLimit` for the
// chunk and again for `updater`) with the `update` table (delete, mkdir, copy, diffcopy,
// launcherupdate, rmdir) and calls its global `updater`. Installation paths
// are relative to `launcherDir` (the update target directory); copy sources
// are relative to the script's own directory (the update source directory),
// and may climb with ".." up to the root of `archive`, the unpacked archive
// the script came from, whose names they match without regard to case.
// Without `archive`, the script's directory is that root and names match
// exactly. On success `queue` receives every operation that `updater`
// queued, in call order, and true is returned. A missing or unloadable
// script, a missing `updater`, an error inside it, a path that leaves its
// base directory, or an argument that is neither string nor number gives
// false with `queue` untouched. Operations that the script's top-level code
// queued are discarded. A leading separator in a path means the directory's
// root. A copy whose source came from an archive entry without Unix
// permission bits keeps the bits of the file it replaces.
bool RunUpdateScript(const std::filesystem::path& scriptPath, const std::string& launcherDir,
                     VersionManifest& manifest, PatchQueue& queue,
                     const UnpackedArchive* archive = nullptr,
                     std::chrono::milliseconds timeLimit = kUpdateScriptTimeLimit);

}  // namespace gd

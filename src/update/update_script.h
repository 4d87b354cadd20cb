// Running the enciphered update script (update.dat) of one patch archive.
#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace gd {

class PatchQueue;
class VersionManifest;

// Runs the script at `scriptPath` in a fresh Lua state with the `update`
// table (delete, mkdir, copy, diffcopy, launcherupdate, rmdir) and calls its global
// `updater`. Installation paths are relative to `launcherDir` (the update
// target directory); copy sources are relative to the script's own directory
// (the update source directory). On success `queue` receives every operation
// that `updater` queued, in call order, and true is returned. A missing or
// unloadable script, a missing `updater`, an error inside it, a path that
// leaves its base directory, or an argument that is neither string nor number
// gives false with `queue` untouched. Operations that the script's top-level
// code queued are discarded. A leading separator in a path means the
// directory's root. A copy whose source is one of `withoutPermissions` (full
// paths of files whose archive entries carried no Unix permission bits)
// keeps the bits of the file it replaces.
bool RunUpdateScript(const std::filesystem::path& scriptPath, const std::string& launcherDir,
                     VersionManifest& manifest, PatchQueue& queue,
                     const std::set<std::string>& withoutPermissions = {});

}  // namespace gd

// The per-user installation that the start command runs the launcher from: a
// copy of the package's pristine, read-only installation in a folder the user
// owns, so that the updater can replace files in it.
#pragma once

#include <filesystem>

namespace gdstart {

// $XDG_DATA_HOME/groovedeck, or ~/.local/share/groovedeck when XDG_DATA_HOME is
// unset or not absolute (as the XDG base directory rules say). Empty when
// there is no home directory either.
std::filesystem::path userInstallationDir();

// The first number of DIR/version.dat, read as the launcher reads it; a
// missing or empty file counts as 1, the version the launcher then writes.
float installedVersionOf(const std::filesystem::path& dir);

enum class Preparation {
    Reused,     // the user's copy was complete and not older than the package
    LaidOut,    // a first copy was made
    Refreshed,  // the package was newer: its files replaced those of the copy
    Failed,     // the copy could not be made or refreshed; nothing to start
};

// Makes `userDir` a complete installation before the launcher starts from it.
// A first copy is made in a hidden sibling folder and renamed into place only
// once every file is on disk, so a copy killed midway is never taken for an
// installation: the next start removes it and copies again. When the pristine
// installation's version is newer than the user's, its files replace the
// user's one by one, version.dat last, so an interrupted refresh is done again
// on the next start; files the updates added and the package lacks stay.
// The caller holds the launcher's single-instance lock, so no launcher, lcopy
// or other start command works on the folder meanwhile.
Preparation prepareUserInstallation(const std::filesystem::path& pristineDir,
                                    const std::filesystem::path& userDir);

}  // namespace gdstart

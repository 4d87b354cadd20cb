#include "user_installation.h"

#include "install/install_paths.h"
#include "script/encrypted_script.h"
#include "script/version_manifest.h"
#include "util/fd_io.h"
#include "util/process.h"
#include "util/replace_file.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace gdstart {

namespace {

namespace fs = std::filesystem;

constexpr const char* kVersionFile = "version.dat";

fs::path homeDir() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? fs::path(entry->pw_dir) : fs::path();
}

// Where a first copy is made before it is renamed into place.
fs::path stagingDirOf(const fs::path& userDir) {
    return userDir.parent_path() / ("." + userDir.filename().string() + ".partial");
}

// Replaces `target` with a copy of `source` in one rename, synced to disk, so
// that a copy killed midway leaves the old file or none, never a short one.
// The permission bits come along (less the umask): the programs stay
// executable, and the user, who owns the copy, may write it.
bool copyFile(const fs::path& source, const fs::path& target) {
    gd::UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!in || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    gd::FileReplacement out(target, info.st_mode & 0777);
    if (!out) return false;
    return gd::copyContents(in.get(), out.fd()) == gd::CopyResult::Done && out.commit();
}

// The folder's name is synced in its parent: a file copied into it syncs
// only the folder itself, and a first copy is renamed into place as a whole.
bool makeDirectory(const fs::path& dir) {
    std::error_code error;
    fs::create_directory(dir, error);
    return fs::is_directory(fs::symlink_status(dir, error)) && gd::syncDirectory(dir.parent_path());
}

// Copies the folders and regular files under `from` into the existing folder
// `to`, version.dat of the top level last: while it is old, the copy is not
// finished. Links are left out; the package ships none.
bool copyTree(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::recursive_directory_iterator entry(from, error);
    if (error) return false;
    for (; entry != fs::recursive_directory_iterator(); entry.increment(error)) {
        if (error) return false;
        const fs::path target = to / entry->path().lexically_relative(from);
        if (entry->is_symlink(error)) continue;
        if (entry->is_directory(error)) {
            if (!makeDirectory(target)) return false;
        } else if (entry->is_regular_file(error) && entry->path() != from / kVersionFile) {
            if (!copyFile(entry->path(), target)) return false;
        }
    }
    return !error && copyFile(from / kVersionFile, to / kVersionFile);
}

bool hasLauncher(const fs::path& dir) {
    return gd::isLaunchableFile(dir / gd::executableName(gd::kLauncherKind));
}

Preparation refresh(const fs::path& pristineDir, const fs::path& userDir) {
    // A copy whose launcher is gone cannot start; copying the package over it
    // repairs it and keeps whatever else is in it.
    if (hasLauncher(userDir) && installedVersionOf(pristineDir) <= installedVersionOf(userDir))
        return Preparation::Reused;
    return copyTree(pristineDir, userDir) ? Preparation::Refreshed : Preparation::Failed;
}

Preparation layOut(const fs::path& pristineDir, const fs::path& userDir) {
    std::error_code error;
    const fs::path staging = stagingDirOf(userDir);
    fs::create_directories(userDir.parent_path(), error);
    if (!fs::create_directory(staging, error)) return Preparation::Failed;
    if (!copyTree(pristineDir, staging) || ::rename(staging.c_str(), userDir.c_str()) != 0) {
        fs::remove_all(staging, error);
        return Preparation::Failed;
    }
    gd::syncDirectory(userDir.parent_path());
    return Preparation::LaidOut;
}

}  // namespace

fs::path userInstallationDir() {
    fs::path dataHome;
    if (const char* xdg = std::getenv("XDG_DATA_HOME");
        xdg != nullptr && fs::path(xdg).is_absolute())
        dataHome = xdg;
    else if (const fs::path home = homeDir(); !home.empty())
        dataHome = home / ".local" / "share";
    return dataHome.empty() ? fs::path() : dataHome / "groovedeck";
}

float installedVersionOf(const fs::path& dir) {
    const std::string text = gd::readEncryptedFile(dir / kVersionFile, gd::kVersionFileLimit);
    return text.empty() ? 1.0f : gd::readVersionNumber(text, 0);
}

Preparation prepareUserInstallation(const fs::path& pristineDir, const fs::path& userDir) {
    std::error_code error;
    // What a first copy that was killed midway left behind.
    fs::remove_all(stagingDirOf(userDir), error);
    if (fs::is_directory(userDir, error)) return refresh(pristineDir, userDir);
    if (fs::exists(fs::symlink_status(userDir, error))) return Preparation::Failed;
    return layOut(pristineDir, userDir);
}

}  // namespace gdstart

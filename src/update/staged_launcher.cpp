#include "update/staged_launcher.h"

#include <sys/stat.h>

namespace gd {

bool stageLauncher(const std::string& source, CopyMode mode, const std::string& launcherDir) {
    CPatchCopy copy(source, TreePath{launcherDir, kStagedLauncherName}, mode, kLauncherExecutable);
    return copy.Execute() == 1;
}

std::optional<LauncherReplacement> findStagedLauncher(const std::string& launcherDir) {
    const std::string staged = launcherDir + kStagedLauncherName;
    struct stat info {};
    if (::lstat(staged.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return std::nullopt;
    return LauncherReplacement{staged, launcherDir + kLauncherExecutable};
}

}  // namespace gd

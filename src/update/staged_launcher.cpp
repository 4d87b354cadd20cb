#include "update/staged_launcher.h"

#include <sys/stat.h>

#include <filesystem>

namespace gd {

OperationResult stageLauncher(const std::string& source, CopyMode mode,
                              const std::string& launcherDir) {
    const std::filesystem::path path(source);
    CPatchCopy copy(TreePath{directoryText(directoryOf(path).string()), path.filename().string()},
                    TreePath{launcherDir, kStagedLauncherName}, mode, kLauncherExecutable);
    return copy.Perform();
}

std::optional<LauncherReplacement> findStagedLauncher(const std::string& launcherDir) {
    const std::string staged = launcherDir + kStagedLauncherName;
    struct stat info {};
    if (::lstat(staged.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return std::nullopt;
    return LauncherReplacement{staged, launcherDir + kLauncherExecutable};
}

}  // namespace gd

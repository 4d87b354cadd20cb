#include "update/staged_launcher.h"

#include "util/fd_io.h"
#include "util/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace gd {

OperationResult stageLauncher(const std::string& source, CopyMode mode,
                              const std::string& launcherDir) {
    const std::filesystem::path path(source);
    CPatchCopy copy(TreePath{directoryText(directoryOf(path).string()), path.filename().string()},
                    TreePath{launcherDir, kStagedLauncherName}, mode, kLauncherExecutable);
    return copy.Perform();
}

namespace {

// Beside the staged launcher: which file it was when lcopy failed to take it.
constexpr const char* kCopierFailureNote = "GrooveDeck.new.lcopy-failed";

// The staged launcher as one file among all that were ever staged: its inode,
// size and modification time. Empty when there is none.
std::string stagedIdentity(const std::string& launcherDir) {
    struct stat info {};
    const std::string staged = launcherDir + kStagedLauncherName;
    if (::lstat(staged.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

}  // namespace

std::optional<LauncherReplacement> findStagedLauncher(const std::string& launcherDir) {
    const std::string staged = launcherDir + kStagedLauncherName;
    struct stat info {};
    if (::lstat(staged.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return std::nullopt;
    return LauncherReplacement{staged, launcherDir + kLauncherExecutable};
}

bool copierFailureSaid(const std::string& launcherDir) {
    const std::string identity = stagedIdentity(launcherDir);
    std::ifstream note(launcherDir + kCopierFailureNote);
    std::string noted;
    return !identity.empty() && std::getline(note, noted) && noted == identity;
}

void noteCopierFailureSaid(const std::string& launcherDir) {
    const std::string identity = stagedIdentity(launcherDir) + "\n";
    FileReplacement note(launcherDir + kCopierFailureNote, 0644);
    if (note && writeAll(note.fd(), identity.data(), identity.size())) note.commit();
}

void forgetCopierFailure(const std::string& launcherDir) {
    ::unlink((launcherDir + kCopierFailureNote).c_str());
}

}  // namespace gd

#include "update/patch.h"

#include "install/install_paths.h"
#include "script/version_manifest.h"
#include "util/directory_syncs.h"
#include "util/fd_io.h"
#include "util/replace_file.h"
#include "util/tree_walk.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>

namespace gd {

namespace {

// Runs `attempt` up to kPatchAttempts times in a row; 1 on the first success.
template <typename Attempt>
int retried(Attempt attempt) {
    for (int i = 0; i < kPatchAttempts; ++i) {
        if (attempt()) return 1;
    }
    return 0;
}

// In the kernel where it can (a clone on file systems that share blocks,
// no trip through user space otherwise), through a buffer where it cannot.
bool copyContent(int from, int to) {
    for (bool first = true;; first = false) {
        const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, SSIZE_MAX, 0);
        if (copied == 0) return true;
        if (copied > 0) continue;
        if (errno == EINTR) continue;
        if (!first) return false;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    return copyContents(from, to) == CopyResult::Done;
}

// The status of `name` in `directory`, not following a link; nullopt when
// there is nothing of that name (errno ENOENT) or it cannot be looked at.
std::optional<struct stat> statAt(int directory, const std::string& name) {
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return info;
}

bool isLauncherExecutable(std::string_view name) {
    if (name == kCopierExecutable) return true;
    for (const std::uint8_t kind :
         {kLauncherKind, kAvatarToolKind, kStepToolKind, kWardrobeToolKind}) {
        if (name == executableName(kind)) return true;
    }
    return false;
}

// The bits a copy gets, decided before it is made.
struct CopyBits {
    mode_t create = 0600;        // less the umask, as the file is created
    std::optional<mode_t> keep;  // exactly these afterwards
};

// nullopt when the file that decides is something other than a file.
std::optional<CopyBits> bitsFor(CopyMode mode, const struct stat& source, int directory,
                                const std::string& modeName) {
    if (mode == CopyMode::FromSource)
        return CopyBits{static_cast<mode_t>(source.st_mode & 0777), {}};
    const auto old = statAt(directory, modeName);
    if (old) {
        if (!S_ISREG(old->st_mode)) return std::nullopt;
        return CopyBits{0600, static_cast<mode_t>(old->st_mode & 0777)};
    }
    if (errno != ENOENT) return std::nullopt;
    return CopyBits{static_cast<mode_t>(isLauncherExecutable(modeName) ? 0777 : 0666), {}};
}

// One copy attempt: the whole source goes into a new file beside the target
// that then replaces it in one rename, so readers see the old or the new file.
bool copyOnce(const std::string& source, const TreePath& target, CopyMode mode,
              const std::string& modeName) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) return false;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

    const auto location = locateInTree(target);
    if (!location) return false;
    const int directory = location->directory.get();
    // A link where the file goes is in the way, even though the rename would
    // only replace the link: it is no file of the installation.
    const auto old = statAt(directory, location->name);
    if ((old && !S_ISREG(old->st_mode)) || (!old && errno != ENOENT)) return false;
    const auto bits = bitsFor(mode, info, directory, modeName.empty() ? location->name : modeName);
    if (!bits) return false;

    FileReplacement out(directory, location->name, bits->create);
    if (!out) return false;
    if (bits->keep && ::fchmod(out.fd(), *bits->keep) != 0) return false;
    return copyContent(in.get(), out.fd()) && out.commit();
}

// The process's umask, which a copy's new file gets its bits through; read
// without changing it, so that no other thread creates a file under another.
std::optional<mode_t> currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (!line.starts_with("Umask:")) continue;
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
    }
    return std::nullopt;
}

enum class Move { Done, Failed, CopyInstead };

// One move attempt: the source, with the bits a copy would have had, renamed
// over the target. Its content is on the disk already (see allowMove).
Move moveOnce(const std::string& source, const TreePath& target, CopyMode mode,
              const std::string& modeName, DirectorySyncs& syncs) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) return Move::Failed;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return Move::Failed;

    const auto location = locateInTree(target);
    if (!location) return Move::Failed;
    const int directory = location->directory.get();
    const auto old = statAt(directory, location->name);
    if ((old && !S_ISREG(old->st_mode)) || (!old && errno != ENOENT)) return Move::Failed;
    const auto bits = bitsFor(mode, info, directory, modeName.empty() ? location->name : modeName);
    if (!bits) return Move::Failed;
    const auto umask = currentUmask();
    if (!bits->keep && !umask) return Move::CopyInstead;
    const mode_t wanted = bits->keep ? *bits->keep : (bits->create & ~*umask);
    if (::fchmod(in.get(), wanted) != 0) return Move::Failed;
    if (::renameat(AT_FDCWD, source.c_str(), directory, location->name.c_str()) != 0)
        return errno == EXDEV ? Move::CopyInstead : Move::Failed;
    syncs.add(directory);
    return Move::Done;
}

// The new folder's name is synced at once: the files placed in it later sync
// their own folder only, and a version recorded over a folder that a power
// cut takes away again would never bring it back. One that exists already
// may be what a killed run made without syncing it.
bool makeDirectoryOnce(const TreePath& path) {
    const auto location = locateInTree(path);
    if (!location) return false;
    const int directory = location->directory.get();
    if (::mkdirat(directory, location->name.c_str(), 0777) != 0) {
        if (errno != EEXIST) return false;
        const auto existing = statAt(directory, location->name);
        if (!existing || !S_ISDIR(existing->st_mode)) return false;
    }
    return syncDirectory(directory);
}

bool deleteOnce(const TreePath& path) {
    const auto location = locateInTree(path);
    // Gone already, together with a folder that held it.
    if (!location) return errno == ENOENT || errno == ENOTDIR;
    const int directory = location->directory.get();
    const auto existing = statAt(directory, location->name);
    if (!existing) return errno == ENOENT;
    if (S_ISDIR(existing->st_mode)) return true;
    return ::unlinkat(directory, location->name.c_str(), 0) == 0 || errno == ENOENT;
}

// Like deleteOnce, what is gone counts as removed; so does a folder that
// still holds something (the user's own files stay) and a file of that name.
bool removeEmptyDirectoryOnce(const TreePath& path) {
    const auto location = locateInTree(path);
    if (!location) return errno == ENOENT || errno == ENOTDIR;
    const int directory = location->directory.get();
    const auto existing = statAt(directory, location->name);
    if (!existing) return errno == ENOENT;
    if (S_ISLNK(existing->st_mode)) return false;
    if (!S_ISDIR(existing->st_mode)) return true;
    return ::unlinkat(directory, location->name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ||
           errno == ENOTEMPTY || errno == EEXIST;
}

}  // namespace

CPatchMkdir::CPatchMkdir(TreePath path) : CPatch(2), path_(std::move(path)) {}

int CPatchMkdir::Execute() {
    return retried([this] { return makeDirectoryOnce(path_); });
}

int CPatchDelete::Execute() {
    return retried([this] { return deleteOnce(path_); });
}

int CPatchRmdir::Execute() {
    return retried([this] { return removeEmptyDirectoryOnce(path_); });
}

CPatchCopy::CPatchCopy(std::string source, TreePath target, CopyMode mode, std::string modeName)
    : CPatch(1),
      source_(std::move(source)),
      target_(std::move(target)),
      mode_(mode),
      modeName_(std::move(modeName)) {}

int CPatchCopy::Execute() {
    return retried([this] {
        if (moveSyncs_ != nullptr) {
            const Move moved = moveOnce(source_, target_, mode_, modeName_, *moveSyncs_);
            if (moved != Move::CopyInstead) return moved == Move::Done;
            moveSyncs_ = nullptr;
        }
        return copyOnce(source_, target_, mode_, modeName_);
    });
}

CPatchLuncherCopy::CPatchLuncherCopy(std::string source, TreePath target, VersionManifest& manifest)
    : CPatchCopy(std::move(source), std::move(target)), manifest_(manifest) {}

int CPatchLuncherCopy::Execute() {
    // The running launcher cannot replace itself here; the self-update after
    // this archive does it from what the manifest records.
    manifest_.setLauncherCopy(source_, target_.full());
    manifest_.markLauncherUpdate();
    return 1;
}

void PatchQueue::takeAll(PatchQueue& other) {
    if (&other == this) return;
    for (auto& operation : other.operations_) operations_.push_back(std::move(operation));
    other.operations_.clear();
}

}  // namespace gd

#include "update/patch.h"

#include "install/install_paths.h"
#include "script/version_manifest.h"
#include "util/directory_syncs.h"
#include "util/fd_io.h"
#include "util/name_case.h"
#include "util/replace_file.h"
#include "util/tree_walk.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

namespace gd {

namespace {

OperationResult done() {
    return {};
}

OperationResult skipped(std::string reason) {
    return {OperationEnd::Skipped, std::move(reason)};
}

OperationResult failed(std::string reason) {
    return {OperationEnd::Failed, std::move(reason)};
}

// Runs `attempt` until it is done or skipped, up to kPatchAttempts times in a
// row: only what the environment refused may go away by itself.
template <typename Attempt>
OperationResult retried(Attempt attempt) {
    OperationResult result;
    for (int i = 0; i < kPatchAttempts; ++i) {
        result = attempt();
        if (result.end != OperationEnd::Failed) break;
    }
    return result;
}

// "<what> <path>: " for the reasons of an operation.
std::string naming(std::string_view what, const TreePath& path) {
    return std::string(what) + " " + (path.relative.empty() ? "." : path.relative) + ": ";
}

std::string copyNaming(const std::string& sourceName, const TreePath& target) {
    return naming("copy " + sourceName + " to", target);
}

// A walk that stopped at a folder that is missing (or is none) met a mistake
// of the script; anything else, the environment.
OperationResult walkFailure(const std::string& prefix, const TreeWalkFailure& failure) {
    const std::string reason = prefix + failure.at + ": " + failure.why;
    if (failure.error == ENOENT || failure.error == ENOTDIR || failure.error == ENAMETOOLONG)
        return skipped(reason);
    return failed(reason);
}

OperationResult systemFailure(const std::string& prefix, int error) {
    return failed(prefix + std::strerror(error));
}

// Tells the queue's folder names what an operation made or removed.
void noteAdded(FolderNames* names, const TreeLocation& location) {
    if (names != nullptr) names->noteAdded(location.directory.get(), location.name);
}

void noteRemoved(FolderNames* names, const TreeLocation& location) {
    if (names != nullptr) names->noteRemoved(location.directory.get(), location.name);
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

// What a leaf that is a symbolic link is to an operation: the user's own
// link to a folder (a folder moved elsewhere) counts as that folder; any
// other link is refused, with why.
struct LeafLink {
    bool folder = false;
    std::string why;
};

LeafLink judgeLeafLink(int directory, const std::string& name) {
    LeafLink link;
    link.folder = static_cast<bool>(followOwnLink(directory, name, link.why));
    return link;
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

// What a copy or a move is asked to do.
struct CopyOrder {
    const std::string& source;
    const std::string& sourceName;  // as reasons name it
    const TreePath& target;
    CopyMode mode;
    const std::string& modeName;
    FolderNames* names;
};

// What a copy or a move knows before it writes: the open source, where the
// target goes and the bits it gets.
struct CopyPlan {
    UniqueFd in;
    struct stat source {};
    TreeLocation location;
    CopyBits bits;
};

// Opens the source and finds the target's place; a result when that failed.
std::variant<CopyPlan, OperationResult> planCopy(const CopyOrder& order) {
    const std::string& sourceName = order.sourceName;
    const std::string prefix = copyNaming(sourceName, order.target);
    CopyPlan plan;
    plan.in = UniqueFd(::open(order.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!plan.in) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            return skipped(prefix + "the archive holds no " + sourceName);
        return systemFailure(prefix + "cannot read " + sourceName + ": ", errno);
    }
    if (::fstat(plan.in.get(), &plan.source) != 0) return systemFailure(prefix, errno);
    if (!S_ISREG(plan.source.st_mode)) return skipped(prefix + sourceName + " is no file");

    TreeWalkFailure walk;
    auto location = locateInTree(order.target, walk, order.names);
    if (!location) return walkFailure(prefix, walk);
    const int directory = location->directory.get();
    const auto old = statAt(directory, location->name);
    if (!old && errno != ENOENT) return systemFailure(prefix, errno);
    if (old && S_ISDIR(old->st_mode)) return skipped(prefix + "a folder has that name");
    if (old && S_ISLNK(old->st_mode)) {
        // Even though the rename would only replace the link: it is no file
        // of the installation.
        const LeafLink link = judgeLeafLink(directory, location->name);
        if (link.folder) return skipped(prefix + "a folder has that name");
        return failed(prefix + "it is " + link.why);
    }
    if (old && !S_ISREG(old->st_mode))
        return failed(prefix + "something other than a file is there");
    const auto bits = bitsFor(order.mode, plan.source, directory,
                              order.modeName.empty() ? location->name : order.modeName);
    if (!bits) return failed(prefix + "the file that gives its permissions is no file");
    plan.bits = *bits;
    plan.location = std::move(*location);
    return plan;
}

// One copy attempt: the whole source goes into a new file beside the target
// that then replaces it in one rename, so readers see the old or the new file.
OperationResult copyOnce(const CopyOrder& order) {
    auto planned = planCopy(order);
    if (auto* result = std::get_if<OperationResult>(&planned)) return std::move(*result);
    CopyPlan& plan = std::get<CopyPlan>(planned);
    const std::string prefix = copyNaming(order.sourceName, order.target);

    FileReplacement out(plan.location.directory.get(), plan.location.name, plan.bits.create);
    if (!out) return systemFailure(prefix, errno);
    if (plan.bits.keep && ::fchmod(out.fd(), *plan.bits.keep) != 0)
        return systemFailure(prefix, errno);
    if (!copyContent(plan.in.get(), out.fd()) || !out.commit()) return systemFailure(prefix, errno);
    noteAdded(order.names, plan.location);
    return done();
}

// One move attempt: the source, with the bits a copy would have had, renamed
// over the target. Its content is on the disk already (see allowMove).
// nullopt: copy instead.
std::optional<OperationResult> moveOnce(const CopyOrder& order, DirectorySyncs& syncs,
                                        mode_t umask) {
    auto planned = planCopy(order);
    if (auto* result = std::get_if<OperationResult>(&planned)) return std::move(*result);
    CopyPlan& plan = std::get<CopyPlan>(planned);
    const std::string prefix = copyNaming(order.sourceName, order.target);
    const mode_t wanted = plan.bits.keep ? *plan.bits.keep : (plan.bits.create & ~umask);
    const bool hasBits = (plan.source.st_mode & 07777) == wanted;
    if (!hasBits && ::fchmod(plan.in.get(), wanted) != 0) return systemFailure(prefix, errno);
    const int directory = plan.location.directory.get();
    if (::renameat(AT_FDCWD, order.source.c_str(), directory, plan.location.name.c_str()) != 0) {
        if (errno == EXDEV) return std::nullopt;
        return systemFailure(prefix, errno);
    }
    noteAdded(order.names, plan.location);
    syncs.add(directory);
    return done();
}

// The new folder's name is synced at once: the files placed in it later sync
// their own folder only, and a version recorded over a folder that a power
// cut takes away again would never bring it back. One that exists already
// may be what a killed run made without syncing it.
OperationResult makeDirectoryOnce(const TreePath& path, FolderNames* names) {
    const std::string prefix = naming("mkdir", path);
    TreeWalkFailure walk;
    const auto location = locateInTree(path, walk, names);
    if (!location) return walkFailure(prefix, walk);
    const int directory = location->directory.get();
    if (::mkdirat(directory, location->name.c_str(), 0777) == 0) {
        noteAdded(names, *location);
    } else {
        if (errno != EEXIST) return systemFailure(prefix, errno);
        const auto existing = statAt(directory, location->name);
        if (!existing) return systemFailure(prefix, errno);
        if (S_ISLNK(existing->st_mode)) {
            const LeafLink link = judgeLeafLink(directory, location->name);
            if (!link.folder) return failed(prefix + "it is " + link.why);
        } else if (!S_ISDIR(existing->st_mode)) {
            return skipped(prefix + "a file has that name");
        }
    }
    return syncDirectory(directory) ? done() : systemFailure(prefix, errno);
}

// What delete and rmdir remove: the entry's folder, name and status.
struct FoundEntry {
    TreeLocation location;
    struct stat info;
};

// The entry at `path`, or how the removal ends without it: skipped when it
// is gone already (together with a folder that held it), failed when it
// cannot be reached.
std::variant<FoundEntry, OperationResult> findForRemoval(const TreePath& path,
                                                         const std::string& prefix,
                                                         FolderNames* names) {
    TreeWalkFailure walk;
    auto location = locateInTree(path, walk, names);
    if (!location) {
        if (walk.error == ENOENT || walk.error == ENOTDIR) return skipped(prefix + "not there");
        return walkFailure(prefix, walk);
    }
    const auto existing = statAt(location->directory.get(), location->name);
    if (!existing) {
        if (errno == ENOENT) return skipped(prefix + "not there");
        return systemFailure(prefix, errno);
    }
    return FoundEntry{std::move(*location), *existing};
}

OperationResult deleteOnce(const TreePath& path, FolderNames* names) {
    const std::string prefix = naming("delete", path);
    auto found = findForRemoval(path, prefix, names);
    if (auto* ended = std::get_if<OperationResult>(&found)) return *ended;
    const TreeLocation* location = &std::get<FoundEntry>(found).location;
    const struct stat* existing = &std::get<FoundEntry>(found).info;
    const int directory = location->directory.get();
    if (S_ISDIR(existing->st_mode)) return done();
    if (S_ISLNK(existing->st_mode) && judgeLeafLink(directory, location->name).folder)
        return done();
    if (::unlinkat(directory, location->name.c_str(), 0) == 0) {
        noteRemoved(names, *location);
        return done();
    }
    if (errno == ENOENT) return skipped(prefix + "not there");
    return systemFailure(prefix, errno);
}

// Like deleteOnce, what is gone is skipped; a folder that still holds
// something (the user's own files stay) and a file of that name count as
// removed.
OperationResult removeEmptyDirectoryOnce(const TreePath& path, FolderNames* names) {
    const std::string prefix = naming("rmdir", path);
    auto found = findForRemoval(path, prefix, names);
    if (auto* ended = std::get_if<OperationResult>(&found)) return *ended;
    const TreeLocation* location = &std::get<FoundEntry>(found).location;
    const struct stat* existing = &std::get<FoundEntry>(found).info;
    const int directory = location->directory.get();
    if (S_ISLNK(existing->st_mode)) {
        const LeafLink link = judgeLeafLink(directory, location->name);
        return link.folder ? done() : failed(prefix + "it is " + link.why);
    }
    if (!S_ISDIR(existing->st_mode)) return done();
    if (::unlinkat(directory, location->name.c_str(), AT_REMOVEDIR) == 0) {
        noteRemoved(names, *location);
        return done();
    }
    if (errno == ENOENT || errno == ENOTEMPTY || errno == EEXIST) return done();
    return systemFailure(prefix, errno);
}

}  // namespace

std::optional<mode_t> CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (!line.starts_with("Umask:")) continue;
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
    }
    return std::nullopt;
}

CPatchMkdir::CPatchMkdir(TreePath path) : CPatch(2), path_(std::move(path)) {}

OperationResult CPatchMkdir::Perform() {
    return retried([this] { return makeDirectoryOnce(path_, names_.get()); });
}

OperationResult CPatchDelete::Perform() {
    return retried([this] { return deleteOnce(path_, names_.get()); });
}

OperationResult CPatchRmdir::Perform() {
    return retried([this] { return removeEmptyDirectoryOnce(path_, names_.get()); });
}

CPatchCopy::CPatchCopy(std::string source, TreePath target, CopyMode mode, std::string modeName)
    : CPatch(1),
      source_(std::move(source)),
      sourceName_(source_),
      target_(std::move(target)),
      mode_(mode),
      modeName_(std::move(modeName)) {}

CPatchCopy::CPatchCopy(const TreePath& source, TreePath target, CopyMode mode, std::string modeName)
    : CPatchCopy(source.full(), std::move(target), mode, std::move(modeName)) {
    sourceName_ = source.relative;
}

OperationResult CPatchCopy::Perform() {
    const CopyOrder order{source_, sourceName_, target_, mode_, modeName_, names_.get()};
    return retried([this, &order] {
        if (moveSyncs_ != nullptr) {
            auto moved = moveOnce(order, *moveSyncs_, moveUmask_);
            if (moved) return std::move(*moved);
            moveSyncs_ = nullptr;
        }
        return copyOnce(order);
    });
}

CPatchLuncherCopy::CPatchLuncherCopy(std::string source, TreePath target, VersionManifest& manifest)
    : CPatchCopy(std::move(source), std::move(target)), manifest_(manifest) {}

OperationResult CPatchLuncherCopy::Perform() {
    // The running launcher cannot replace itself here; the self-update after
    // this archive does it from what the manifest records.
    manifest_.setLauncherCopy(source_, target_.full());
    manifest_.markLauncherUpdate();
    return done();
}

PatchQueue::PatchQueue() : names_(std::make_shared<FolderNames>()) {}

void PatchQueue::append(std::unique_ptr<CPatch> operation) {
    operation->shareNames(names_);
    operations_.push_back(std::move(operation));
}

void PatchQueue::takeAll(PatchQueue& other) {
    if (&other == this) return;
    for (auto& operation : other.operations_) operations_.push_back(std::move(operation));
    other.operations_.clear();
}

}  // namespace gd

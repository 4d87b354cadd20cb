// The file operations that an update script queues, and the queue that owns
// them. Every path in the installation is reached from the installation's
// directory one component at a time (see util/tree_walk.h): links are
// followed only where they are the user's own, and names are matched as the
// original platform matched them, without regard to case.
#pragma once

#include "util/safe_path.h"

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gd {

class DirectorySyncs;
class FolderNames;
class VersionManifest;

// Mkdir, delete and copy try their system call this many times in a row.
inline constexpr int kPatchAttempts = 32;
inline constexpr const char* kCopyDescription = "ファイルをコピー中";

// How an operation ended. A script's own mistakes (a source the archive
// lacks, a folder that does not exist, a delete of what is gone) are skipped:
// running the archive again would meet them again, and the original went on
// past them. What the environment refused (permissions, space, the disk, a
// link that is not followed, a name that several entries match) fails the
// archive, which the next run applies again once the cause is gone.
enum class OperationEnd { Done, Skipped, Failed };

struct OperationResult {
    OperationEnd end = OperationEnd::Done;
    std::string reason;  // Skipped, Failed: the operation, its path and why
};

class CPatch {
  public:
    CPatch() = default;
    CPatch(const CPatch&) = delete;
    CPatch& operator=(const CPatch&) = delete;
    virtual ~CPatch() = default;

    // 1 when the operation took effect, 0 when it was skipped or every
    // attempt failed.
    int Execute() { return Perform().end == OperationEnd::Done ? 1 : 0; }
    // Carries the operation out: attempts that fail for the environment are
    // tried again, up to kPatchAttempts in all.
    virtual OperationResult Perform() { return {}; }
    // The text shown in the status line while the operation runs.
    virtual std::string Describe() const { return {}; }

    int opKind = 0;  // 0 CPatch, 1 copy (and launcher copy), 2 mkdir (and delete)

    // What the operations of one queue learn of the installation's folders,
    // shared among them (see FolderNames).
    void shareNames(std::shared_ptr<FolderNames> names) { names_ = std::move(names); }

  protected:
    explicit CPatch(int kind) : opKind(kind) {}

    std::shared_ptr<FolderNames> names_;
};

// Creates the last component of the path. A folder that is there already
// (or the user's own link to one) counts as made: scripts run again after a
// failed run. Skipped when its parent is missing or a file has the name.
class CPatchMkdir : public CPatch {
  public:
    explicit CPatchMkdir(TreePath path);
    OperationResult Perform() override;
    std::string fullPath() const { return path_.full(); }

  protected:
    TreePath path_;
};

// Deletes the file. One that is gone already (or whose folder is) is
// skipped, as a user may have removed it; a folder is never removed and
// naming one (or the user's own link to one) does nothing. Any other link is
// removed itself, never followed.
class CPatchDelete : public CPatchMkdir {
  public:
    using CPatchMkdir::CPatchMkdir;
    OperationResult Perform() override;
};

// Removes the folder when it is empty. A folder that still holds anything
// (the user's own files, say) stays, and so do a file and the user's own
// link to a folder; what is gone is skipped; any other link fails it.
class CPatchRmdir : public CPatchMkdir {
  public:
    using CPatchMkdir::CPatchMkdir;
    OperationResult Perform() override;
};

// Where a copy takes the permission bits of the file it installs. Set-id and
// sticky bits never travel.
enum class CopyMode {
    // From an entry with Unix permissions: the source's bits, less the umask.
    FromSource,
    // From an entry without them (archives made on the original platform):
    // the bits of the file it replaces; a new file gets 0666, or 0777 for the
    // launcher's own executables (by name), less the umask.
    KeepTarget,
};

// The process's umask, which a copy's new file gets its bits through; read
// without changing it, so that no other thread creates a file under another.
std::optional<mode_t> CurrentUmask();

// Copies source over target (an existing target is replaced). The target is
// replaced atomically: a copy is made beside it and renamed over it, so a
// running program keeps its old file, and a crash leaves neither a
// half-written target nor a stray copy. A missing source or target folder,
// or a folder at the target, skips the copy; a link at the target is in the
// way and fails it.
class CPatchCopy : public CPatch {
  public:
    // `modeName`: the file in the target's folder whose bits and name decide
    // KeepTarget's mode, when it is not the target itself.
    CPatchCopy(std::string source, TreePath target, CopyMode mode = CopyMode::FromSource,
               std::string modeName = {});
    // The same, with the source inside the unpacked archive, whose relative
    // path is what reports name.
    CPatchCopy(const TreePath& source, TreePath target, CopyMode mode, std::string modeName = {});
    OperationResult Perform() override;
    std::string Describe() const override { return kCopyDescription; }
    const std::string& source() const { return source_; }
    std::string target() const { return target_.full(); }
    const TreePath& targetPath() const { return target_; }
    CopyMode mode() const { return mode_; }
    // Allows the copy to move the source into place (one rename) where it is
    // nobody's source after this, with the same result as a copy: the target
    // replaced in one step, the same permission bits. The target's folder
    // is then added to `syncs` instead of being synced at once. The source's
    // content must be on the disk already: the unpacked files are synced
    // together before the queue runs. `umask` is the process's (see
    // CurrentUmask), which a copy's new file would get its bits through.
    // Across file systems, and wherever the bits cannot be known, it copies.
    void allowMove(DirectorySyncs& syncs, mode_t umask) {
        moveSyncs_ = &syncs;
        moveUmask_ = umask;
    }

  protected:
    std::string source_;
    std::string sourceName_;  // as reports name it
    TreePath target_;
    CopyMode mode_;
    std::string modeName_;
    DirectorySyncs* moveSyncs_ = nullptr;
    mode_t moveUmask_ = 0;
};

// Copies nothing: records the replacement of the running launcher in the
// manifest, which ends the update with the self-update.
class CPatchLuncherCopy : public CPatchCopy {
  public:
    CPatchLuncherCopy(std::string source, TreePath target, VersionManifest& manifest);
    OperationResult Perform() override;

  private:
    VersionManifest& manifest_;
};

// An ordered list of operations that it owns. The operations appended to one
// queue share what they learn of the installation's folders.
class PatchQueue {
  public:
    PatchQueue();
    void append(std::unique_ptr<CPatch> operation);
    std::size_t size() const { return operations_.size(); }
    bool empty() const { return operations_.empty(); }
    CPatch& at(std::size_t index) const { return *operations_.at(index); }
    void clear() { operations_.clear(); }
    // Moves every operation of `other`, in order, to the end of this queue.
    void takeAll(PatchQueue& other);

  private:
    std::vector<std::unique_ptr<CPatch>> operations_;
    std::shared_ptr<FolderNames> names_;
};

}  // namespace gd

// The file operations that an update script queues, and the queue that owns
// them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace gd {

class VersionManifest;

// Mkdir, delete and copy try their system call this many times in a row.
inline constexpr int kPatchAttempts = 32;
inline constexpr const char* kCopyDescription = "ファイルをコピー中";

class CPatch {
  public:
    CPatch() = default;
    CPatch(const CPatch&) = delete;
    CPatch& operator=(const CPatch&) = delete;
    virtual ~CPatch() = default;

    // 1 when the operation took effect, 0 when every attempt failed.
    virtual int Execute() { return 1; }
    // The text shown in the status line while the operation runs.
    virtual std::string Describe() const { return {}; }

    int opKind = 0;  // 0 CPatch, 1 copy (and launcher copy), 2 mkdir (and delete)

  protected:
    explicit CPatch(int kind) : opKind(kind) {}
};

// Creates the last component of fullPath; fails when it exists already or
// its parent is missing.
class CPatchMkdir : public CPatch {
  public:
    explicit CPatchMkdir(std::string fullPath);
    int Execute() override;
    const std::string& fullPath() const { return fullPath_; }

  protected:
    std::string fullPath_;
};

// Deletes the file fullPath; never removes a directory.
class CPatchDelete : public CPatchMkdir {
  public:
    using CPatchMkdir::CPatchMkdir;
    int Execute() override;
};

// Removes the folder fullPath when it is empty. A folder that still holds
// anything (the user's own files, say) stays, and so does a file.
class CPatchRmdir : public CPatchMkdir {
  public:
    using CPatchMkdir::CPatchMkdir;
    int Execute() override;
};

// Copies source over target (an existing target is replaced), keeping the
// source's permission bits. The target is replaced atomically: a copy is made
// beside it and renamed over it, so a running program keeps its old file, and
// a crash leaves neither a half-written target nor a stray copy.
class CPatchCopy : public CPatch {
  public:
    CPatchCopy(std::string source, std::string target);
    int Execute() override;
    std::string Describe() const override { return kCopyDescription; }
    const std::string& source() const { return source_; }
    const std::string& target() const { return target_; }

  protected:
    std::string source_;
    std::string target_;
};

// Copies nothing: records the replacement of the running launcher in the
// manifest, which ends the update with the self-update.
class CPatchLuncherCopy : public CPatchCopy {
  public:
    CPatchLuncherCopy(std::string source, std::string target, VersionManifest& manifest);
    int Execute() override;

  private:
    VersionManifest& manifest_;
};

// An ordered list of operations that it owns.
class PatchQueue {
  public:
    void append(std::unique_ptr<CPatch> operation) { operations_.push_back(std::move(operation)); }
    std::size_t size() const { return operations_.size(); }
    bool empty() const { return operations_.empty(); }
    CPatch& at(std::size_t index) const { return *operations_.at(index); }
    void clear() { operations_.clear(); }
    // Moves every operation of `other`, in order, to the end of this queue.
    void takeAll(PatchQueue& other);

  private:
    std::vector<std::unique_ptr<CPatch>> operations_;
};

}  // namespace gd

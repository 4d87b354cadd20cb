// The temporary disk space of one update run: downloads plus unpacked files,
// charged as they appear and given back as soon as they are removed, so that
// a run never holds more than one budget at any moment, however many archives
// it applies.
#pragma once

#include "util/disk_room.h"

#include <cstdint>
#include <filesystem>

namespace gd {

// The most a run holds at once: room for an archive of the largest size a
// zip file without ZIP64 records describes (4 GiB unpacked), downloaded whole
// and unpacked, with room to spare.
inline constexpr std::uint64_t kRunDiskBudget = 10ull * 1024 * 1024 * 1024;

class DiskBudget {
  public:
    explicit DiskBudget(std::uint64_t capacity = kRunDiskBudget) : capacity_(capacity) {}
    DiskBudget(const DiskBudget&) = delete;
    DiskBudget& operator=(const DiskBudget&) = delete;

    std::uint64_t available() const { return capacity_ - charged_; }
    // Makes what is available no more than the free space of `folder`'s file
    // system less kDiskReserve (util/disk_room.h) (and no more than kRunDiskBudget in all): the
    // space may have gone to the installation or to other programs since.
    // Nothing is available when the free space cannot be told.
    void followFreeSpace(const std::filesystem::path& folder);
    // False, and nothing charged, when `bytes` do not fit.
    bool charge(std::uint64_t bytes);
    void release(std::uint64_t bytes);

  private:
    std::uint64_t capacity_;
    std::uint64_t charged_ = 0;
};

// A file or folder of the run, removed with everything in it when this is
// destroyed or removed early; its charge goes back to the budget once it is
// gone, and stays charged when it could not be removed.
class ChargedPath {
  public:
    ChargedPath(DiskBudget& budget, std::filesystem::path path)
        : budget_(budget), path_(std::move(path)) {}
    ChargedPath(const ChargedPath&) = delete;
    ChargedPath& operator=(const ChargedPath&) = delete;
    ~ChargedPath() { remove(); }

    const std::filesystem::path& path() const { return path_; }
    // Charges `bytes` more for what the path now holds; false when they do
    // not fit (nothing is charged then).
    bool charge(std::uint64_t bytes);
    void remove();

  private:
    DiskBudget& budget_;
    std::filesystem::path path_;
    std::uint64_t charged_ = 0;
};

}  // namespace gd

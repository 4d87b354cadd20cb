// The single-instance guard "GrooveDeckLancher": an flock(2) on a file of that
// name in the user's runtime directory. The kernel drops the lock when the
// holder's process ends, however it ends, so a crashed launcher never blocks
// the next start.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

#include "util/unique_fd.h"

namespace gd {

inline constexpr const char* kInstanceLockName = "GrooveDeckLancher";

class InstanceLock {
  public:
    // Takes the lock when no other process holds it; nullopt when another
    // launcher holds it or the lock file cannot be opened. Never waits.
    static std::optional<InstanceLock> tryAcquire();

    // Takes the lock as soon as its holder lets go, polling until `timeout`
    // has passed; nullopt when it is still held then (or cannot be opened).
    // lcopy holds it while it replaces the launcher, so a launcher started by
    // hand meanwhile ends quietly instead of running a half-replaced file.
    static std::optional<InstanceLock> acquireWithin(std::chrono::milliseconds timeout);

    // $XDG_RUNTIME_DIR/GrooveDeckLancher when that directory is ours and not
    // writable by others; otherwise the same name in /run/user/<uid>, or in
    // ~/.cache/groovedeck (mode 0700, ours, not a link). nullopt when no such
    // private directory is available.
    static std::optional<std::filesystem::path> lockFilePath();

    InstanceLock(InstanceLock&&) noexcept = default;
    InstanceLock& operator=(InstanceLock&&) noexcept = default;

  private:
    explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}

    UniqueFd fd_;  // O_CLOEXEC: started programs never inherit the lock
};

}  // namespace gd

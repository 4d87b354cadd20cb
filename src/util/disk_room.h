// Room on a file system for what the engine writes there on its own account
// (an update run's files, kept downloads), always leaving a reserve free, so
// that the system and the user's programs go on working meanwhile.
#pragma once

#include <cstdint>
#include <filesystem>

namespace gd {

inline constexpr std::uint64_t kDiskReserve = 256ull * 1024 * 1024;

// The free space of the file system that holds `folder` (or the open file
// `fd`) beyond kDiskReserve: 0 when there is none, or it cannot be told.
std::uint64_t roomBeyondReserve(const std::filesystem::path& folder);
std::uint64_t roomBeyondReserve(int fd);

}  // namespace gd

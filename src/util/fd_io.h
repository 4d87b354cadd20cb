// Reading and writing whole files through POSIX descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace gd {

// Writes all `size` bytes, through short writes and interrupting signals. A
// write that takes nothing (a full device can answer so) is a failure rather
// than a reason to try for ever.
bool writeAll(int fd, const char* data, std::size_t size);

// Reads exactly `size` bytes at `offset`; false on an error or an end of
// file before them.
bool readAllAt(int fd, char* data, std::size_t size, std::uint64_t offset);

enum class CopyResult { Done, ReadFailed, WriteFailed };

// Copies what is left to read from `from` to `to`.
CopyResult copyContents(int from, int to);

// Makes the entries of a directory (names made, renamed or removed) durable.
bool syncDirectory(int directoryFd);
bool syncDirectory(const std::filesystem::path& directory);

}  // namespace gd

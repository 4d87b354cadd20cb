// Script files on disk: the whole file is the cipher text of its plain text,
// with no header, padding or terminator.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace gd {

// Size limits that the file formats state.
inline constexpr std::size_t kConfigFileLimit = 4096;
inline constexpr std::size_t kVersionFileLimit = 128;
inline constexpr std::size_t kUpdateScriptLimit = 1024 * 1024;

// Reads the whole file and deciphers it. Returns the plain text; an empty
// result (n = 0) means the file is missing, unreadable, empty, or larger than
// `limit` bytes. Never reads more than `limit` + 1 bytes of the file.
std::string readEncryptedFile(const std::filesystem::path& path, std::size_t limit);

// Enciphers `text` and makes it the whole new content of the file. The file is
// replaced atomically (a new file beside it is written, flushed and renamed
// over it), so a crash leaves the old or the new content, never a shortened
// file nor a stray temporary one. The new file keeps the old one's
// permission bits (0777 of them) when that was a regular file, and is
// otherwise made with 0666 less the umask. Returns false when nothing was
// replaced.
bool writeEncryptedFile(const std::filesystem::path& path, std::string_view text);

}  // namespace gd

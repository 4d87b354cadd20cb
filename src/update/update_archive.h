// Unpacking a downloaded patch archive (zip) and finding its update script.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

// Extraction of one archive stops (and fails) past this many bytes written.
inline constexpr std::uintmax_t kArchiveExtractLimit = 2ull * 1024 * 1024 * 1024;

// Trims an entry name the way patch archives have always been read: a drive
// prefix (any first character followed by ':'), leading '\' or '/', and
// everything up to and including the first "\..\", "\../", "/../" or "/..\"
// (searched in that order) are removed, repeatedly, until none applies. The
// name is UTF-8 or, when it is not valid UTF-8, CP932, scanned character by
// character so that a trail byte 0x5C is not taken for a backslash. The result
// may still climb out ("a/../../x" gives "../x"); callers must check it.
std::string trimEntryName(std::string_view name);

// Extracts every entry of the zip archive at `archivePath` under `baseDir`
// and returns the path of the update script relative to `baseDir`, with '/'
// between directories: the last entry whose upper-cased name contains
// "UPDATE.DAT". Entries that would still land outside `baseDir` after
// trimming, symbolic links and other special files, encrypted entries and
// names that cannot be decoded are skipped (and are never the script); an
// entry that cannot be written is skipped too. Files keep their time stamps
// and, from archives made on Unix, their permission bits without set-id and
// sticky bits. `baseDir` must exist. Returns nullopt when the archive cannot
// be read or is corrupt (bad CRC, data longer or shorter than declared), holds
// no script entry, or declares more than `limit` bytes of files; files written
// before a corrupt entry was found stay.
std::optional<std::string> UnpackArchive(const std::filesystem::path& archivePath,
                                         const std::filesystem::path& baseDir,
                                         std::uintmax_t limit = kArchiveExtractLimit);

}  // namespace gd

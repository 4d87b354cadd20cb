// Unpacking a downloaded patch archive (zip) and finding its update script.
#pragma once

#include "util/name_case.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

// Extraction of one archive stops (and fails) past this many bytes written:
// what a zip file without ZIP64 records can hold in one entry, and so the most
// that the original platform's tools wrote.
inline constexpr std::uintmax_t kArchiveExtractLimit = 4ull * 1024 * 1024 * 1024;
// An archive with more entries than a zip file without ZIP64 records can
// hold (the most that the original platform's tools wrote) is refused.
inline constexpr std::uint64_t kArchiveEntryLimit = 65535;

// Trims an entry name the way patch archives have always been read: a drive
// prefix (any first character followed by ':'), leading '\' or '/', and
// everything up to and including the first "\..\", "\../", "/../" or "/..\"
// (searched in that order) are removed, repeatedly, until none applies. The
// name is UTF-8 or, when it is not valid UTF-8, CP932, scanned character by
// character so that a trail byte 0x5C is not taken for a backslash. The result
// may still climb out ("a/../../x" gives "../x"); callers must check it.
std::string trimEntryName(std::string_view name);

// What an unpacked archive holds for the update worker.
struct UnpackedArchive {
    std::string root;  // the base it was unpacked under, ending in '/'
    // Every path below the base as the archive spelled it first: later entries
    // that differ in case only went into the same folders and files, as they
    // did on the original platform.
    CaseIndex names;
    // The update script, relative to the base with '/' between directories:
    // the last entry in archive order whose upper-cased name contains
    // "UPDATE.DAT", whatever it is. nullopt when that entry cannot be the
    // script: refused, encrypted, a link or folder, or not written.
    std::optional<std::string> script;
    // Full paths of the files written from entries without Unix permission
    // bits (archives made on the original platform, or Unix entries whose
    // bits are all zero): their modes say nothing.
    std::set<std::string> withoutPermissions;
    std::uintmax_t bytes = 0;  // in the files written
};

// One entry as the archive's central directory describes it: what decides
// where it lands and what it becomes.
struct ArchiveRecord {
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t dosDateTime = 0;  // the date in the high half, the time in the low
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t localHeaderOffset = 0;
    std::string rawName;
    std::vector<unsigned char> extra;
};

// How the data of one entry came out of a streamed archive.
enum class StreamedData {
    Written,  // complete, its CRC and size checked: the file named by its index
    Absent,   // not written (encrypted, an unknown method, no room): it is skipped
    Corrupt,  // it did not inflate, or its CRC or size was wrong
};

// Whether the files written will be synced once they are all there (those of
// a whole archive, before they are moved into place): their writeback then
// starts as each is closed, and their flushes are paid for while the rest are
// written (see EarlyFlush), so that the one sync finds little left to do.
enum class Durable : bool { No, Yes };

// Extracts every entry of the zip archive at `archivePath` under `baseDir`.
// Entries that would still land outside `baseDir` after trimming, symbolic
// links and other special files, encrypted entries and names that cannot be
// decoded are skipped; an entry that cannot be written is skipped too. Files
// keep their time stamps and, from archives made on Unix, their permission
// bits without set-id and sticky bits. `baseDir` must exist. Returns nullopt
// when the archive cannot be read or is corrupt (bad CRC, data longer or
// shorter than declared), holds no script entry, more than kArchiveEntryLimit
// entries, or declares more than `limit` bytes of files; files written before
// a corrupt entry was found stay. Why, in plain words that name the entry at
// fault, goes to `why` when it is given.
std::optional<UnpackedArchive> UnpackArchive(const std::filesystem::path& archivePath,
                                             const std::filesystem::path& baseDir,
                                             std::uintmax_t limit = kArchiveExtractLimit,
                                             std::string* why = nullptr);
// The same for the archive open as `archiveFd` (read with positioned reads;
// it stays the caller's).
std::optional<UnpackedArchive> UnpackArchive(int archiveFd, const std::filesystem::path& baseDir,
                                             std::uintmax_t limit = kArchiveExtractLimit,
                                             std::string* why = nullptr,
                                             Durable durable = Durable::No);

// The rules of UnpackArchive for an archive whose entries were already
// inflated, in archive order, into `dataDir`, each into a file named by its
// position ("0", "1", ...), and whose central directory is `records`: the
// files are moved (renamed) into place under `baseDir` or dropped, the
// folders made, and the same archive gives the same result as UnpackArchive.
// `dataDir` must be on the file system of `baseDir`; what is left in it is
// the caller's to remove. Why it failed goes to `why`, as UnpackArchive's.
std::optional<UnpackedArchive> PlaceStreamedEntries(const std::vector<ArchiveRecord>& records,
                                                    const std::vector<StreamedData>& data,
                                                    const std::filesystem::path& dataDir,
                                                    const std::filesystem::path& baseDir,
                                                    std::uintmax_t limit = kArchiveExtractLimit,
                                                    std::string* why = nullptr);

}  // namespace gd

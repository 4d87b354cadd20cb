#include "update/update_archive.h"

#include "update/zip_reader.h"
#include "util/early_flush.h"
#include "util/fd_io.h"
#include "util/populated_memory.h"
#include "util/safe_path.h"
#include "util/text_encoding.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace gd {

namespace {

constexpr uLong kEncryptedFlag = 1u << 0;
constexpr uLong kUtf8NameFlag = 1u << 11;
constexpr uLong kUnixHost = 3;
constexpr uLong kDosReadOnly = 0x01;
constexpr uLong kDosDirectory = 0x10;
constexpr unsigned kExtendedTimestampId = 0x5455;
// Entries are copied through a buffer of this size, or of the largest
// entry's if that is smaller (but never of less than a page's worth): its
// fresh pages were most of what a small archive cost to unpack.
constexpr std::size_t kCopyChunk = 256 * 1024;
constexpr std::size_t kSmallestCopyChunk = 4096;
// Deflated data are read in pieces of this size.
constexpr std::size_t kPackedPiece = 64 * 1024;

// ---- entry names -----------------------------------------------------------

bool isCp932Lead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

std::size_t utf8Length(unsigned char c) {
    if (c >= 0xF0) return 4;
    if (c >= 0xE0) return 3;
    if (c >= 0xC0) return 2;
    return 1;
}

// Walks a name character by character so that a CP932 trail byte (which can
// be '\\') is never taken for a separator. In UTF-8 no byte of a multi-byte
// character is ASCII, so stepping by the lead byte is just as safe.
class NameScanner {
  public:
    explicit NameScanner(std::string_view name) : cp932_(!isValidUtf8(name)) {}

    std::size_t charLength(std::string_view text, std::size_t at) const {
        const auto c = static_cast<unsigned char>(text[at]);
        const std::size_t length = cp932_ ? (isCp932Lead(c) ? 2 : 1) : utf8Length(c);
        return std::min(length, text.size() - at);
    }

    std::size_t find(std::string_view text, std::string_view pattern) const {
        for (std::size_t at = 0; at < text.size(); at += charLength(text, at)) {
            if (text.substr(at, pattern.size()) == pattern) return at;
        }
        return std::string_view::npos;
    }

  private:
    bool cp932_;
};

// One step of the trimming rules; false when none applies.
bool trimOnce(const NameScanner& scanner, std::string_view& name) {
    if (name.empty()) return false;
    const std::size_t first = scanner.charLength(name, 0);
    if (name.size() > first && name[first] == ':') {
        name.remove_prefix(first + 1);
        return true;
    }
    if (name.front() == '\\' || name.front() == '/') {
        name.remove_prefix(1);
        return true;
    }
    for (std::string_view pattern : {"\\..\\", "\\../", "/../", "/..\\"}) {
        const std::size_t at = scanner.find(name, pattern);
        if (at != std::string_view::npos) {
            name.remove_prefix(at + pattern.size());
            return true;
        }
    }
    return false;
}

bool containsScriptName(std::string_view path) {
    std::string upper(path);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper.find("UPDATE.DAT") != std::string::npos;
}

// Says why an archive cannot be unpacked, when the caller asked; the value
// for the caller to return.
std::nullopt_t refuse(std::string* why, std::string text) {
    if (why != nullptr) *why = std::move(text);
    return std::nullopt;
}

std::string mebibytes(std::uintmax_t bytes) {
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB";
}

// ---- archive handles -------------------------------------------------------

// The current entry's data as the archive holds them, read straight from
// the archive: minizip copies raw data a byte at a time. They are inflated
// here rather than by minizip, which stops at the declared size and checks
// the CRC of what it gave: data that inflate past the declared size would
// pass.
class RawEntry {
  public:
    // Opening checks the entry's local header; `packed` is the size of its
    // data in the central directory.
    RawEntry(const ZipReader& zip, std::uint64_t packed) : zip_(zip), left_(packed) {
        int level = 0;
        open_ = unzOpenCurrentFile2(zip.get(), &method_, &level, 1) == UNZ_OK;
        if (open_) at_ = unzGetCurrentFileZStreamPos64(zip.get());
    }
    RawEntry(const RawEntry&) = delete;
    RawEntry& operator=(const RawEntry&) = delete;
    ~RawEntry() {
        if (open_) unzCloseCurrentFile(zip_.get());
    }
    explicit operator bool() const { return open_; }
    int method() const { return method_; }
    bool finished() const { return left_ == 0; }
    // As read(2): bytes read, 0 at the end of the data, negative on failure.
    int read(char* data, std::size_t size) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
        if (piece > 0 && !readAllAt(zip_.fd(), data, piece, at_)) return -1;
        at_ += piece;
        left_ -= piece;
        return static_cast<int>(piece);
    }

  private:
    const ZipReader& zip_;
    int method_ = 0;
    bool open_;
    std::uint64_t at_ = 0;  // in the archive
    std::uint64_t left_;
};

struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

// ---- planning --------------------------------------------------------------

enum class EntryKind { File, Directory, Skipped };

struct PlannedEntry {
    unz64_file_pos position{};
    EntryKind kind = EntryKind::Skipped;
    std::string relative;  // inside the base, '/' between directories
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::uint64_t packed = 0;        // the size of its data in the archive
    std::optional<mode_t> unixMode;  // permission bits, for archives made on Unix
    bool readOnly = false;           // the DOS attribute, for the others
    std::time_t mtime = 0;
    bool scriptName = false;  // the stored name contains "UPDATE.DAT"
};

// The Info-ZIP extended time stamp is UTC; prefer it to the local DOS time.
std::optional<std::time_t> extendedMtime(const std::vector<unsigned char>& extra) {
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        const unsigned id = extra[at] | (extra[at + 1] << 8);
        const std::size_t size = extra[at + 2] | (extra[at + 3] << 8);
        const std::size_t data = at + 4;
        if (data + size > extra.size()) break;
        if (id == kExtendedTimestampId && size >= 5 && (extra[data] & 1) != 0) {
            const std::uint32_t seconds = extra[data + 1] | (extra[data + 2] << 8) |
                                          (extra[data + 3] << 16) |
                                          (std::uint32_t{extra[data + 4]} << 24);
            return static_cast<std::time_t>(static_cast<std::int32_t>(seconds));
        }
        at = data + size;
    }
    return std::nullopt;
}

std::time_t dosMtime(std::uint32_t dosDateTime) {
    std::tm local{};
    local.tm_sec = static_cast<int>((dosDateTime & 0x1f) * 2);
    local.tm_min = static_cast<int>((dosDateTime >> 5) & 0x3f);
    local.tm_hour = static_cast<int>((dosDateTime >> 11) & 0x1f);
    local.tm_mday = static_cast<int>((dosDateTime >> 16) & 0x1f);
    local.tm_mon = static_cast<int>((dosDateTime >> 21) & 0x0f) - 1;
    local.tm_year = static_cast<int>((dosDateTime >> 25) & 0x7f) + 80;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::optional<std::string> decodeName(const std::string& raw, uLong flags) {
    if ((flags & kUtf8NameFlag) != 0) {
        if (!isValidUtf8(raw)) return std::nullopt;
        return raw;
    }
    return installTextToUtf8(raw);
}

// Where the entry lands inside the base, or nullopt when it would not.
std::optional<std::string> placeEntry(const std::string& base, const std::string& name) {
    const auto joined = joinInside(base, name);
    if (!joined || joined->size() <= base.size()) return std::nullopt;
    return joined->substr(base.size());
}

EntryKind kindOf(const ArchiveRecord& info, const std::string& name, PlannedEntry& entry) {
    if ((info.flags & kEncryptedFlag) != 0) return EntryKind::Skipped;
    const bool unix = (info.versionMadeBy >> 8) == kUnixHost;
    const auto mode = static_cast<mode_t>(info.externalAttributes >> 16);
    // Links are never created, and no other special file either.
    if (unix && (mode & S_IFMT) != 0 && !S_ISREG(mode) && !S_ISDIR(mode)) return EntryKind::Skipped;
    const bool trailingSeparator = name.back() == '/' || name.back() == '\\';
    if (trailingSeparator || (info.externalAttributes & kDosDirectory) != 0 ||
        (unix && S_ISDIR(mode))) {
        return EntryKind::Directory;
    }
    // Permission bits that are all zero say nothing either: Python's ZipInfo
    // writes them so unless told otherwise, and they would make an editor
    // that the entry replaces unreadable and unstartable.
    if (unix && (mode & 0777) != 0) entry.unixMode = mode & 0777;
    entry.readOnly = !unix && (info.externalAttributes & kDosReadOnly) != 0;
    return EntryKind::File;
}

// Decides what becomes of one entry, from its central directory record.
PlannedEntry planEntry(const ArchiveRecord& record, const std::string& base) {
    PlannedEntry entry;
    entry.scriptName = containsScriptName(record.rawName);
    entry.size = record.size;
    const auto stamp = extendedMtime(record.extra);
    entry.mtime = stamp ? *stamp : dosMtime(record.dosDateTime);
    const auto name = decodeName(trimEntryName(record.rawName), record.flags);
    const auto relative = name ? placeEntry(base, *name) : std::nullopt;
    if (relative) {
        entry.relative = *relative;
        entry.kind = kindOf(record, *name, entry);
    }
    return entry;
}

// Reads the central directory record of the current entry; nullopt when the
// record itself is broken.
std::optional<PlannedEntry> planEntry(unzFile zip, const std::string& base) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return std::nullopt;
    std::vector<char> rawName(info.size_filename + 1);
    ArchiveRecord record;
    record.extra.resize(info.size_file_extra);
    if (unzGetCurrentFileInfo64(zip, &info, rawName.data(), rawName.size(), record.extra.data(),
                                record.extra.size(), nullptr, 0) != UNZ_OK)
        return std::nullopt;
    record.versionMadeBy = static_cast<std::uint16_t>(info.version);
    record.flags = static_cast<std::uint16_t>(info.flag);
    record.dosDateTime = static_cast<std::uint32_t>(info.dosDate);
    record.externalAttributes = static_cast<std::uint32_t>(info.external_fa);
    record.size = info.uncompressed_size;
    record.rawName.assign(rawName.data(), info.size_filename);

    PlannedEntry entry = planEntry(record, base);
    entry.crc = static_cast<std::uint32_t>(info.crc);
    entry.packed = info.compressed_size;
    if (unzGetFilePos64(zip, &entry.position) != UNZ_OK) return std::nullopt;
    return entry;
}

constexpr const char* kTooManyEntries = "it has more than 65535 entries";
constexpr const char* kDamagedDirectory = "its central directory is damaged";

std::optional<std::vector<PlannedEntry>> planArchive(unzFile zip, const std::string& base,
                                                     std::string* why) {
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK) return refuse(why, kDamagedDirectory);
    if (global.number_entry > kArchiveEntryLimit) return refuse(why, kTooManyEntries);
    std::vector<PlannedEntry> entries;
    if (global.number_entry == 0) return entries;
    int status = unzGoToFirstFile(zip);
    while (status == UNZ_OK) {
        // The count in the end record may lie; the records themselves cannot.
        if (entries.size() == kArchiveEntryLimit) return refuse(why, kTooManyEntries);
        auto entry = planEntry(zip, base);
        if (!entry) return refuse(why, kDamagedDirectory);
        entries.push_back(std::move(*entry));
        status = unzGoToNextFile(zip);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE) return refuse(why, kDamagedDirectory);
    return entries;
}

// Whether the files that the entries declare fit in `limit`; why not, when not.
bool declaredSizeFits(const std::vector<PlannedEntry>& entries, std::uintmax_t limit,
                      std::string* why) {
    std::uintmax_t total = 0;
    for (const auto& entry : entries) {
        if (entry.kind != EntryKind::File) continue;
        if (entry.size > limit - total) {
            refuse(why, "its files would take more than " + mebibytes(limit) +
                            ", more than the update has room for");
            return false;
        }
        total += entry.size;
    }
    return true;
}

// ---- writing inside the base -----------------------------------------------

std::vector<std::string_view> splitPath(std::string_view relative) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start < relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Opens (creating as needed) the directory made of `parts` below `baseFd`.
// No component may be a symbolic link, so nothing is ever reached outside.
UniqueFd openDirectoryChain(int baseFd, const std::vector<std::string_view>& parts) {
    UniqueFd current(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
    for (std::string_view part : parts) {
        if (!current) break;
        const std::string name(part);
        if (::mkdirat(current.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return {};
        current = UniqueFd(
            ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return current;
}

// The folder of the last file written, kept open: an archive's files come
// folder by folder, and making and opening each one's chain anew cost a
// dozen calls a file. A folder once open stays the one at its path: no entry
// can remove it or put anything else in its place.
class ParentFolders {
  public:
    explicit ParentFolders(int baseFd) : baseFd_(baseFd) {}
    // The open folder of `parts` (see openDirectoryChain), made when missing;
    // -1 when it cannot be.
    int open(const std::vector<std::string_view>& parts) {
        std::string path;
        for (std::string_view part : parts) path.append(part).push_back('/');
        if (!last_ || path != lastPath_) {
            last_ = openDirectoryChain(baseFd_, parts);
            lastPath_ = last_ ? std::move(path) : std::string();
        }
        return last_.get();
    }

  private:
    int baseFd_;
    std::string lastPath_;
    UniqueFd last_;
};

bool applyAttributes(int fd, const PlannedEntry& entry) {
    if (entry.unixMode) {
        // Set-id and sticky bits never come from an archive; the owner must
        // be able to read what the update script copies later.
        if (::fchmod(fd, *entry.unixMode | S_IRUSR) != 0) return false;
    } else if (entry.readOnly) {
        struct stat status {};
        if (::fstat(fd, &status) != 0) return false;
        if (::fchmod(fd, status.st_mode & 0555) != 0) return false;
    }
    const std::array<timespec, 2> times{timespec{entry.mtime, 0}, timespec{entry.mtime, 0}};
    return ::futimens(fd, times.data()) == 0;
}

enum class Outcome { Written, Skipped, Corrupt };

// What comes out of an entry, held to its declared size and CRC. More or
// fewer bytes than declared make the archive corrupt: holding every entry to
// its declared size keeps the total written under the limit that the declared
// sizes were checked against.
class EntryOutput {
  public:
    EntryOutput(int fd, const PlannedEntry& entry, EarlyFlush* flush)
        : fd_(fd), entry_(entry), flush_(flush) {}
    Outcome put(const char* data, std::size_t size) {
        if (size > entry_.size - produced_) return Outcome::Corrupt;
        produced_ += size;
        crc_ = libdeflate_crc32(crc_, data, size);
        if (!writeAll(fd_, data, size)) return Outcome::Skipped;
        if (flush_ != nullptr) flush_->writing(fd_, produced_);
        return Outcome::Written;
    }
    Outcome end() const {
        return produced_ == entry_.size && crc_ == entry_.crc ? Outcome::Written : Outcome::Corrupt;
    }

  private:
    int fd_;
    const PlannedEntry& entry_;
    EarlyFlush* flush_;
    std::uint64_t produced_ = 0;
    std::uint32_t crc_ = 0;
};

Outcome copyStored(RawEntry& data, EntryOutput& output, std::span<char> buffer) {
    for (;;) {
        const int read = data.read(buffer.data(), buffer.size());
        if (read < 0) return Outcome::Corrupt;
        if (read == 0) return output.end();
        const Outcome outcome = output.put(buffer.data(), static_cast<std::size_t>(read));
        if (outcome != Outcome::Written) return outcome;
    }
}

// The deflate stream must take exactly the data that the directory says are
// the entry's, as the streamed reading requires: no data after its end. What
// comes out is written a full buffer at a time.
Outcome copyDeflated(RawEntry& data, EntryOutput& output, std::span<char> buffer) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return Outcome::Skipped;
    const std::unique_ptr<z_stream, InflateEnd> owner(&stream);
    const auto packed = std::make_unique_for_overwrite<char[]>(kPackedPiece);
    const auto empty = [&] {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = static_cast<uInt>(buffer.size());
    };
    const auto emptied = [&] {
        const Outcome outcome = output.put(buffer.data(), buffer.size() - stream.avail_out);
        empty();
        return outcome;
    };
    empty();
    for (int status = Z_OK; status != Z_STREAM_END;) {
        if (stream.avail_in == 0) {
            const int read = data.read(packed.get(), kPackedPiece);
            if (read < 0) return Outcome::Corrupt;
            if (read == 0) break;
            stream.next_in = reinterpret_cast<Bytef*>(packed.get());
            stream.avail_in = static_cast<uInt>(read);
        }
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            return Outcome::Corrupt;
        if (stream.avail_out == 0) {
            const Outcome outcome = emptied();
            if (outcome != Outcome::Written) return outcome;
        }
    }
    const Outcome outcome = emptied();
    if (outcome != Outcome::Written) return outcome;
    if (stream.avail_in != 0 || !data.finished()) return Outcome::Corrupt;
    return output.end();
}

// Copies the content of an entry, stored or deflated, into `fd`, handed to
// `flush` (when there is one) as it is written.
Outcome copyEntryData(RawEntry& data, int fd, const PlannedEntry& entry, EarlyFlush* flush,
                      std::span<char> buffer) {
    EntryOutput output(fd, entry, flush);
    return data.method() == 0 ? copyStored(data, output, buffer)
                              : copyDeflated(data, output, buffer);
}

Outcome extractFile(const ZipReader& zip, ParentFolders& folders, EarlyFlush* flush,
                    const PlannedEntry& entry, std::span<char> buffer) {
    auto parts = splitPath(entry.relative);
    const std::string leaf(parts.back());
    parts.pop_back();
    const int directory = folders.open(parts);
    if (directory < 0) return Outcome::Skipped;

    // Entries of other methods are never extracted, as in the streamed reading.
    RawEntry data(zip, entry.packed);
    if (!data || (data.method() != 0 && data.method() != Z_DEFLATED)) return Outcome::Skipped;
    // Replace rather than truncate: the old file may be read-only.
    ::unlinkat(directory, leaf.c_str(), 0);
    const mode_t createMode = entry.unixMode ? 0600 : 0666;
    UniqueFd file(::openat(directory, leaf.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode));
    if (!file) return Outcome::Skipped;

    Outcome outcome = copyEntryData(data, file.get(), entry, flush, buffer);
    if (outcome == Outcome::Written && !applyAttributes(file.get(), entry))
        outcome = Outcome::Skipped;
    if (outcome == Outcome::Written && flush != nullptr) flush->finished(file.get(), entry.size);
    if (!file.close() && outcome == Outcome::Written) outcome = Outcome::Skipped;
    if (outcome != Outcome::Written) ::unlinkat(directory, leaf.c_str(), 0);
    return outcome;
}

Outcome extractEntry(const ZipReader& zip, ParentFolders& folders, EarlyFlush* flush,
                     const PlannedEntry& entry, std::span<char> buffer) {
    if (entry.kind == EntryKind::Skipped) return Outcome::Skipped;
    unz64_file_pos position = entry.position;
    if (unzGoToFilePos64(zip.get(), &position) != UNZ_OK) return Outcome::Corrupt;
    if (entry.kind == EntryKind::Directory)
        return folders.open(splitPath(entry.relative)) >= 0 ? Outcome::Written : Outcome::Skipped;
    return extractFile(zip, folders, flush, entry, buffer);
}

// Moves the streamed data of a file entry into place, in the order of checks
// that extractFile follows.
Outcome placeFile(int dataFd, std::size_t index, ParentFolders& folders, const PlannedEntry& entry,
                  StreamedData data) {
    if (data == StreamedData::Absent) return Outcome::Skipped;
    auto parts = splitPath(entry.relative);
    const std::string leaf(parts.back());
    parts.pop_back();
    const int directory = folders.open(parts);
    if (directory < 0) return Outcome::Skipped;
    if (data == StreamedData::Corrupt) return Outcome::Corrupt;
    const std::string name = std::to_string(index);
    const UniqueFd file(::openat(dataFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file || !applyAttributes(file.get(), entry)) return Outcome::Skipped;
    // The rename replaces a file of that name, read-only or not.
    if (::renameat(dataFd, name.c_str(), directory, leaf.c_str()) != 0) return Outcome::Skipped;
    return Outcome::Written;
}

Outcome placeStreamed(int dataFd, std::size_t index, ParentFolders& folders,
                      const PlannedEntry& entry, StreamedData data) {
    if (entry.kind == EntryKind::Skipped) return Outcome::Skipped;
    if (entry.kind == EntryKind::Directory)
        return folders.open(splitPath(entry.relative)) >= 0 ? Outcome::Written : Outcome::Skipped;
    return placeFile(dataFd, index, folders, entry, data);
}

// The last entry named like the script is the script, whatever it is, so
// that an earlier one never runs in place of the one the archive meant.
std::optional<std::string> scriptOf(const std::vector<PlannedEntry>& entries,
                                    const std::vector<bool>& written, bool& found) {
    for (std::size_t i = entries.size(); i-- > 0;) {
        if (!entries[i].scriptName) continue;
        found = true;
        if (entries[i].kind != EntryKind::File || !written[i]) return std::nullopt;
        return entries[i].relative;
    }
    found = false;
    return std::nullopt;
}

// Remembers which files have no permission bits of their own; a later entry
// of the same name decides.
void notePermissions(const PlannedEntry& entry, const std::string& base,
                     UnpackedArchive& unpacked) {
    const std::string path = base + entry.relative;
    if (entry.unixMode) {
        unpacked.withoutPermissions.erase(path);
    } else {
        unpacked.withoutPermissions.insert(path);
    }
}

// Writes every planned entry with `write(index, entry)` and gathers what was
// written; nullopt when an entry is corrupt or no script entry is there.
// Each entry lands where an earlier one made the same path in another case.
template <typename WriteEntry>
std::optional<UnpackedArchive> placeEntries(std::vector<PlannedEntry>& entries,
                                            const std::string& base, std::string* why,
                                            WriteEntry write) {
    UnpackedArchive unpacked;
    unpacked.root = base;
    std::vector<bool> written(entries.size(), false);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PlannedEntry& entry = entries[i];
        if (entry.kind != EntryKind::Skipped) {
            entry.relative = unpacked.names.resolve(entry.relative);
            // Its folders are made even when its data then fails.
            const std::size_t folder =
                entry.kind == EntryKind::File ? entry.relative.rfind('/') : entry.relative.size();
            if (folder != std::string::npos) unpacked.names.add(entry.relative.substr(0, folder));
        }
        const Outcome outcome = write(i, entry);
        if (outcome == Outcome::Corrupt)
            return refuse(
                why, "its entry " +
                         (entry.relative.empty() ? "#" + std::to_string(i + 1) : entry.relative) +
                         " is damaged: its data do not match their CRC or size");
        written[i] = outcome == Outcome::Written;
        if (written[i]) unpacked.names.add(entry.relative);
        if (written[i] && entry.kind == EntryKind::File) {
            unpacked.bytes += entry.size;
            notePermissions(entry, base, unpacked);
        }
    }
    bool found = false;
    unpacked.script = scriptOf(entries, written, found);
    if (!found) return refuse(why, "it holds no update.dat");
    return unpacked;
}

}  // namespace

std::string trimEntryName(std::string_view name) {
    const NameScanner scanner(name);
    while (trimOnce(scanner, name)) {
    }
    return std::string(name);
}

std::optional<UnpackedArchive> UnpackArchive(const std::filesystem::path& archivePath,
                                             const std::filesystem::path& baseDir,
                                             std::uintmax_t limit, std::string* why) {
    const UniqueFd archive(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!archive) return refuse(why, "it cannot be opened");
    return UnpackArchive(archive.get(), baseDir, limit, why);
}

std::optional<UnpackedArchive> UnpackArchive(int archiveFd, const std::filesystem::path& baseDir,
                                             std::uintmax_t limit, std::string* why,
                                             Durable durable) {
    const std::string base = directoryText(baseDir.string());
    const UniqueFd baseFd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!baseFd) return refuse(why, "the folder to unpack it in cannot be opened");
    const ZipReader zip(archiveFd);
    if (!zip) return refuse(why, "it is no zip archive: no central directory can be read");

    auto entries = planArchive(zip.get(), base, why);
    if (!entries || !declaredSizeFits(*entries, limit, why)) return std::nullopt;

    std::uint64_t largest = 0;
    for (const PlannedEntry& entry : *entries) largest = std::max(largest, entry.size);
    const auto bufferSize = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(largest, kSmallestCopyChunk, kCopyChunk));
    const auto buffer = populatedBuffer(bufferSize);
    ParentFolders folders(baseFd.get());
    std::optional<EarlyFlush> flush;
    if (durable == Durable::Yes) flush.emplace();
    EarlyFlush* flushing = flush ? &*flush : nullptr;
    return placeEntries(*entries, base, why, [&](std::size_t, const PlannedEntry& entry) {
        return extractEntry(zip, folders, flushing, entry, {buffer.get(), bufferSize});
    });
}

std::optional<UnpackedArchive> PlaceStreamedEntries(const std::vector<ArchiveRecord>& records,
                                                    const std::vector<StreamedData>& data,
                                                    const std::filesystem::path& dataDir,
                                                    const std::filesystem::path& baseDir,
                                                    std::uintmax_t limit, std::string* why) {
    const std::string base = directoryText(baseDir.string());
    const UniqueFd baseFd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const UniqueFd dataFd(::open(dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!baseFd || !dataFd) return refuse(why, "the folder to unpack it in cannot be opened");
    if (records.size() > kArchiveEntryLimit) return refuse(why, kTooManyEntries);
    if (records.size() != data.size()) return refuse(why, kDamagedDirectory);

    std::vector<PlannedEntry> entries;
    entries.reserve(records.size());
    for (const ArchiveRecord& record : records) entries.push_back(planEntry(record, base));
    if (!declaredSizeFits(entries, limit, why)) return std::nullopt;

    ParentFolders folders(baseFd.get());
    return placeEntries(entries, base, why, [&](std::size_t i, const PlannedEntry& entry) {
        return placeStreamed(dataFd.get(), i, folders, entry, data[i]);
    });
}

}  // namespace gd

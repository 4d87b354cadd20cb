#include "util/name_case.h"

#include "util/text_encoding.h"

#include <QChar>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace gd {

namespace {

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The code point that starts at `at` (valid UTF-8), and its length.
char32_t decodeAt(std::string_view text, std::size_t at, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i)
        code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return code;
}

void encode(char32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Owner of a stream over the entries of an open directory.
class DirectoryStream {
  public:
    explicit DirectoryStream(int directory) {
        const int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        stream_ = ::fdopendir(fd);  // owns the descriptor when it succeeds
        if (stream_ == nullptr) {
            const int error = errno;
            ::close(fd);
            errno = error;
        }
    }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    ~DirectoryStream() {
        if (stream_ != nullptr) ::closedir(stream_);
    }
    DIR* get() const { return stream_; }

  private:
    DIR* stream_ = nullptr;
};

}  // namespace

std::string foldCase(std::string_view name) {
    std::string folded;
    folded.reserve(name.size());
    if (!isValidUtf8(name)) {
        for (const char c : name) folded += upperAscii(c);
        return folded;
    }
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = 1;
        const char32_t code = decodeAt(name, at, length);
        // NTFS's upcase table has one entry per UTF-16 unit: beyond the
        // Basic Multilingual Plane nothing is folded.
        encode(code < 0x10000 ? QChar::toUpper(code) : code, folded);
        at += length;
    }
    return folded;
}

namespace {

// Every entry of the directory, by its folded name; nullopt (errno set) when
// it cannot be read.
std::optional<std::multimap<std::string, std::string>> readNames(int directory) {
    const DirectoryStream stream(directory);
    if (stream.get() == nullptr) return std::nullopt;
    std::multimap<std::string, std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") names.emplace(foldCase(name), name);
    }
    if (errno != 0) return std::nullopt;
    return names;
}

// What the names of a directory say about `name`, which is not there as written.
NameMatch matchFolded(const std::multimap<std::string, std::string>& names,
                      const std::string& name) {
    NameMatch match{NameFound::Missing, name, {}, 0};
    const auto [first, last] = names.equal_range(foldCase(name));
    for (auto at = first; at != last; ++at) match.matches.push_back(at->second);
    if (match.matches.size() == 1) return {NameFound::Folded, match.matches.front(), {}, 0};
    if (match.matches.size() > 1) match.found = NameFound::Ambiguous;
    std::sort(match.matches.begin(), match.matches.end());
    return match;
}

// Whether `name` is there as written: Exact, Missing, or Unreadable.
NameMatch matchExact(int directory, const std::string& name) {
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return {NameFound::Exact, name, {}, 0};
    if (errno != ENOENT) return {NameFound::Unreadable, name, {}, errno};
    return {NameFound::Missing, name, {}, 0};
}

std::int64_t changeTime(const struct stat& info) {
    return std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

NameMatch findName(int directory, const std::string& name) {
    NameMatch exact = matchExact(directory, name);
    if (exact.found != NameFound::Missing) return exact;
    const auto names = readNames(directory);
    if (!names) return {NameFound::Unreadable, name, {}, errno};
    return matchFolded(*names, name);
}

FolderNames::Listing* FolderNames::known(int directory, struct stat& info) {
    if (::fstat(directory, &info) != 0) return nullptr;
    const auto listing = listings_.find({info.st_dev, info.st_ino});
    return listing == listings_.end() ? nullptr : &listing->second;
}

NameMatch FolderNames::find(int directory, const std::string& name) {
    NameMatch exact = matchExact(directory, name);
    if (exact.found != NameFound::Missing) return exact;
    struct stat info {};
    const Listing* listing = known(directory, info);
    if (listing == nullptr || listing->changed != changeTime(info)) {
        // Stamped with the time from before the reading: a change meanwhile
        // has it read again next time.
        auto names = readNames(directory);
        if (!names) return {NameFound::Unreadable, name, {}, errno};
        listing = &(listings_[{info.st_dev, info.st_ino}] = {changeTime(info), std::move(*names)});
    }
    return matchFolded(listing->names, name);
}

void FolderNames::noteAdded(int directory, const std::string& name) {
    struct stat info {};
    Listing* listing = known(directory, info);
    if (listing == nullptr) return;
    const std::string folded = foldCase(name);
    const auto [first, last] = listing->names.equal_range(folded);
    if (std::find_if(first, last, [&](const auto& entry) { return entry.second == name; }) == last)
        listing->names.emplace(folded, name);
    listing->changed = changeTime(info);
}

const FolderNames::Walked* FolderNames::walked(const std::string& base,
                                               std::string_view folder) const {
    const bool same = walked_.directory && walked_.base == base && walked_.folder == folder;
    return same ? &walked_ : nullptr;
}

void FolderNames::noteRemoved(int directory, const std::string& name) {
    // A folder removed, and another made in its place, would have the walk
    // write into the one that is gone.
    walked_ = {};
    struct stat info {};
    Listing* listing = known(directory, info);
    if (listing == nullptr) return;
    const auto [first, last] = listing->names.equal_range(foldCase(name));
    const auto entry =
        std::find_if(first, last, [&](const auto& known) { return known.second == name; });
    if (entry != last) listing->names.erase(entry);
    listing->changed = changeTime(info);
}

namespace {

// Calls visit(component, folded path up to it, the rest from the component
// on) for each component of `relative`, until visit returns false.
template <typename Visit>
void walkFolded(std::string_view relative, Visit visit) {
    std::string key;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string_view part = relative.substr(start, end - start);
        if (!key.empty()) key += '/';
        key += foldCase(part);
        if (!visit(part, key, relative.substr(start))) return;
        start = end + 1;
    }
}

}  // namespace

std::string CaseIndex::resolve(std::string_view relative) const {
    std::string resolved;
    walkFolded(relative, [&](std::string_view, const std::string& key, std::string_view rest) {
        const auto known = paths_.find(key);
        if (known == paths_.end()) {
            // Nothing below an unknown folder is known either.
            if (!resolved.empty()) resolved += '/';
            resolved += rest;
            return false;
        }
        resolved = known->second;
        return true;
    });
    return resolved;
}

void CaseIndex::add(std::string_view relative) {
    std::string spelled;
    walkFolded(relative, [&](std::string_view part, const std::string& key, std::string_view) {
        const auto made = paths_.emplace(
            key, spelled.empty() ? std::string(part) : spelled + "/" + std::string(part));
        spelled = made.first->second;
        return true;
    });
}

}  // namespace gd

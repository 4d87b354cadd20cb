#include "fetch/download_cache.h"

#include "script/launcher_config.h"
#include "trust/content_hash.h"
#include "util/disk_room.h"
#include "util/fd_io.h"
#include "util/user_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

namespace gd {
namespace {

constexpr std::size_t kReplayPiece = 256 * 1024;
// What is kept goes to the file in pieces of this size, not in the 16 KiB
// that libcurl hands over at a time: ext4 then holds them in large folios,
// and keeping a download costs a third of the kernel's time it took in
// small writes.
constexpr std::size_t kKeptPiece = 256 * 1024;
// A removed download of this size or more is emptied on a thread of its own.
constexpr std::uint64_t kEmptiedAside = 16 * 1024 * 1024;

// A short stable name for `text`: never the server's own words, which could
// hold anything.
std::optional<std::string> keyOf(std::string_view text) {
    const auto hash = hashContent(text);
    if (!hash) return std::nullopt;
    std::string key;
    char digits[3];
    for (std::size_t i = 0; i < 10; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", (*hash)[i]);
        key += digits;
    }
    return key;
}

std::optional<std::string> serverKeyOf(const ServerRecord& server) {
    return keyOf(server.ftpAddress + '\n' + server.ftpPath);
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// What other servers left behind: an installation moved to another server,
// or removed, would keep its cut downloads for good. An entry whose files
// have not changed for this long goes, whichever server it came from.
constexpr std::chrono::hours kUnseenServerAge{24 * 30};

// A cached entry's name without its extension: two keys, "-" between them.
bool isEntryName(std::string_view name) {
    constexpr std::size_t kKeyLength = 20;
    if (name.size() != 2 * kKeyLength + 1 || name[kKeyLength] != '-') return false;
    name.remove_prefix(kKeyLength + 1);
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

KeptDownload::KeptDownload(int folder, std::string name, UniqueFd data)
    : folder_(folder), name_(std::move(name)), data_(std::move(data)) {
    struct stat info {};
    if (::fstat(data_.get(), &info) == 0) size_ = static_cast<std::uint64_t>(info.st_size);
    if (::lseek(data_.get(), 0, SEEK_END) < 0) discard();
}

bool KeptDownload::read(std::uint64_t offset, std::span<char> into) {
    if (!pending_.empty() && !flush()) return false;
    const std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(into.size(), size_ - std::min(offset, size_)));
    return data_ && readAllAt(data_.get(), into.data(), count, offset);
}

bool KeptDownload::hasRoomFor(std::uint64_t bytes) {
    if (!data_) return false;
    if (room_ < bytes) {
        // What append() holds is not on the disk yet but will be.
        const std::uint64_t measured = roomBeyondReserve(data_.get());
        room_ = measured - std::min<std::uint64_t>(measured, pending_.size());
    }
    if (room_ < bytes) return false;
    room_ -= bytes;
    return true;
}

bool KeptDownload::append(std::span<const char> bytes) {
    if (!data_) return false;
    size_ += bytes.size();
    while (!bytes.empty()) {
        const std::size_t take = std::min(bytes.size(), kKeptPiece - pending_.size());
        pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + take);
        bytes = bytes.subspan(take);
        if (pending_.size() == kKeptPiece && !flush()) return false;
    }
    return true;
}

bool KeptDownload::flush() {
    const bool written = data_ && writeAll(data_.get(), pending_.data(), pending_.size());
    pending_.clear();
    return written;
}

KeptDownload::~KeptDownload() {
    if (!pending_.empty()) flush();
}

void KeptDownload::discard() {
    pending_.clear();
    ::unlinkat(folder_, (name_ + ".stamp").c_str(), 0);
    size_ = 0;
    if (data_ && (::ftruncate(data_.get(), 0) != 0 || ::lseek(data_.get(), 0, SEEK_SET) != 0))
        data_.reset();  // nothing more is kept rather than a torn file
}

void KeptDownload::remove() {
    pending_.clear();
    ::unlinkat(folder_, (name_ + ".part").c_str(), 0);
    ::unlinkat(folder_, (name_ + ".stamp").c_str(), 0);
    // Emptied before it is closed: ext4 writes out at close what a file that
    // was once truncated to nothing holds (discard() did), and waits for it,
    // gone or not; an archive's worth of bytes that nobody reads again.
    // Freeing a few hundred MiB of cached pages takes 10 to 25 ms, which the
    // run spends placing its files meanwhile.
    const auto empty = [](UniqueFd file) { (void)::ftruncate(file.get(), 0); };
    if (size_ < kEmptiedAside) {
        empty(std::move(data_));
    } else {
        emptying_ = std::jthread(empty, std::move(data_));
    }
    size_ = 0;
}

void KeptDownload::settle() {
    if (emptying_.joinable()) emptying_.join();
}

std::optional<RemoteStamp> KeptDownload::stamp() const {
    const UniqueFd file(
        ::openat(folder_, (name_ + ".stamp").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    char text[64] = {};
    if (!file || ::read(file.get(), text, sizeof text - 1) <= 0) return std::nullopt;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    if (std::sscanf(text, "%" SCNu64 " %" SCNd64, &size, &modified) != 2) return std::nullopt;
    return RemoteStamp{size, modified};
}

void KeptDownload::record(const RemoteStamp& stamp) {
    const std::string name = name_ + ".stamp";
    ::unlinkat(folder_, name.c_str(), 0);
    // A file whose server tells no size or time cannot be recognised later.
    if (!stamp.size || !stamp.modified) return;
    const UniqueFd file(::openat(folder_, name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    char text[64];
    const int length =
        std::snprintf(text, sizeof text, "%" PRIu64 " %" PRId64 "\n", *stamp.size, *stamp.modified);
    if (!file || !writeAll(file.get(), text, static_cast<std::size_t>(length)))
        ::unlinkat(folder_, name.c_str(), 0);
}

std::optional<DownloadCache> DownloadCache::open() {
    auto folder = openUserCacheFolder();
    if (!folder) return std::nullopt;
    return DownloadCache(std::move(*folder));
}

std::unique_ptr<KeptDownload> DownloadCache::keep(const ServerRecord& server,
                                                  const std::string& archive) {
    const auto serverKey = serverKeyOf(server);
    const auto archiveKey = keyOf(archive);
    if (!serverKey || !archiveKey) return nullptr;
    const std::string name = *serverKey + "-" + *archiveKey;
    const std::string part = name + ".part";
    UniqueFd data(::openat(folder_.get(), part.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!data && errno == EEXIST) {
        data.reset(::openat(folder_.get(), part.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (data && (::fstat(data.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
                     info.st_uid != ::geteuid() || info.st_nlink != 1))
            return nullptr;
    }
    // Another run downloading the same archive keeps it; this one keeps nothing.
    if (!data || ::flock(data.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
    return std::make_unique<KeptDownload>(folder_.get(), name, std::move(data));
}

void DownloadCache::prune(const ServerRecord& server, const std::set<std::string>& listed) {
    const auto serverKey = serverKeyOf(server);
    const int copy = ::fcntl(folder_.get(), F_DUPFD_CLOEXEC, 0);
    if (!serverKey || copy < 0) return;
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
    if (!dir) {
        ::close(copy);
        return;
    }
    std::set<std::string> wanted;
    for (const std::string& archive : listed) {
        if (const auto key = keyOf(archive)) wanted.insert(*serverKey + "-" + *key);
    }
    std::vector<std::string> stale;
    // Other servers' entries, each with the newest change of its files.
    std::map<std::string, std::time_t> others;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        const auto dot = name.rfind('.');
        if (dot == std::string_view::npos) continue;
        const std::string base(name.substr(0, dot));
        if (name.starts_with(*serverKey + "-")) {
            if (!wanted.contains(base)) stale.emplace_back(name);
            continue;
        }
        struct stat info {};
        if (!isEntryName(base) ||
            ::fstatat(folder_.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        std::time_t& newest = others[base];
        newest = std::max(newest, info.st_mtime);
    }
    const std::time_t unseenSince =
        std::time(nullptr) -
        std::chrono::duration_cast<std::chrono::seconds>(kUnseenServerAge).count();
    for (const auto& [base, newest] : others) {
        if (newest >= unseenSince) continue;
        stale.push_back(base + ".part");
        stale.push_back(base + ".stamp");
    }
    for (const std::string& name : stale) ::unlinkat(folder_.get(), name.c_str(), 0);
}

KeepingSink::KeepingSink(KeptDownload& kept, DownloadSink& next, bool judged, Charge charge)
    : kept_(kept), next_(next), judged_(judged), charge_(std::move(charge)) {}

bool KeepingSink::begin(const RemoteStamp& stamp) {
    if (!next_.begin(stamp)) return false;
    const std::uint64_t size = kept_.size();
    const bool fits = !stamp.size || size <= *stamp.size;
    // Unsigned, nothing but the server's stamp tells that the bytes are still
    // those of its file.
    const bool same = judged_ || (stamp.size && stamp.modified && kept_.stamp() == stamp);
    if (size > 0 && fits && same && next_.received() == 0) return replay();
    kept_.discard();
    kept_.record(stamp);
    return true;
}

bool KeepingSink::replay() {
    if (charge_ && !charge_(kept_.size())) {
        kept_.discard();
        return true;
    }
    resumed_ = true;
    std::vector<char> piece(kReplayPiece);
    for (std::uint64_t at = 0; at < kept_.size(); at += piece.size()) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), kept_.size() - at));
        if (!kept_.read(at, {piece.data(), count}) || !next_.accept({piece.data(), count}))
            return false;
    }
    return true;
}

bool KeepingSink::accept(std::span<const char> bytes) {
    continued_ = true;
    if (keeping_ && !kept_.hasRoomFor(bytes.size())) keeping_ = false;
    if (keeping_) {
        if (charge_ && !charge_(bytes.size())) return false;
        // A cache that cannot take more keeps nothing rather than a torn
        // file; the download itself goes on.
        if (!kept_.append(bytes)) {
            kept_.remove();
            keeping_ = false;
        }
    }
    return next_.accept(bytes);
}

}  // namespace gd

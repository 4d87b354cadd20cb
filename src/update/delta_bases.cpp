#include "update/delta_bases.h"

#include "trust/content_hash.h"
#include "trust/crypto_library.h"
#include "update/delta_pack.h"
#include "util/safe_path.h"
#include "util/tree_walk.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace gd {

namespace {

constexpr std::string_view kLocalHeaderSignature{"PK\x03\x04", 4};
constexpr std::size_t kLocalHeaderSize = 30;
constexpr unsigned kEncryptedFlag = 1;
constexpr unsigned kStored = 0;
// Past the entry's data start, enough for the pack's magic and both lengths.
constexpr std::size_t kLeadRoom = 32;
constexpr std::size_t kReadPiece = 256 * 1024;

unsigned littleEndian16(std::string_view bytes, std::size_t at) {
    return static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8);
}

// Where the data of the archive's first entry begin, when that entry is a
// stored, unencrypted delta.pack; 0 when it is not (or `head` is too short
// to tell).
std::size_t packDataStart(std::string_view head) {
    if (head.size() < kLocalHeaderSize || !head.starts_with(kLocalHeaderSignature)) return 0;
    const unsigned flags = littleEndian16(head, 6), method = littleEndian16(head, 8);
    const std::size_t nameLength = littleEndian16(head, 26), extraLength = littleEndian16(head, 28);
    if ((flags & kEncryptedFlag) != 0 || method != kStored) return 0;
    if (head.substr(kLocalHeaderSize, nameLength) != kDeltaPackEntry) return 0;
    return kLocalHeaderSize + nameLength + extraLength;
}

// The installed base at `path` below `treeDir`, reached without following
// links; a FIFO or device there is opened without waiting and then refused.
UniqueFd openBase(const std::string& treeDir, const std::string& path) {
    const auto place = placeInside(treeDir, path);
    const auto location = place ? locateInTree(*place) : std::nullopt;
    if (!location) return UniqueFd();
    return UniqueFd(::openat(location->directory.get(), location->name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

bool hashInto(int fd, ContentHasher& hasher) {
    const auto buffer = std::make_unique_for_overwrite<char[]>(kReadPiece);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), kReadPiece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        hasher.add(buffer.get(), static_cast<std::size_t>(got));
    }
}

// Goes over the bases as the tree holds them, each added to `hasher` (its
// path, size and content) when one is given; why one cannot serve, or "".
std::string walkBases(const std::vector<DeltaBase>& bases, const std::string& treeDir,
                      ContentHasher* hasher) {
    for (const DeltaBase& base : bases) {
        const UniqueFd file = openBase(treeDir, base.path);
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return "the installed " + base.path + " is missing or not a file";
        if (static_cast<std::uint64_t>(info.st_size) != base.size)
            return "the installed " + base.path + " is not the file the delta was made against";
        if (hasher == nullptr) continue;
        hasher->add(base.path.data(), base.path.size() + 1);  // with its NUL
        unsigned char size[8];
        for (int i = 0; i < 8; ++i) size[i] = static_cast<unsigned char>(base.size >> (8 * i));
        hasher->add(size, sizeof size);
        if (!hashInto(file.get(), *hasher)) return "cannot read the installed " + base.path;
    }
    return {};
}

// "a, b, c and 4 more", for a refusal that cannot tell which of them differs.
std::string someOf(const std::vector<DeltaBase>& bases) {
    constexpr std::size_t kNamed = 3;
    std::string text;
    for (std::size_t i = 0; i < std::min(bases.size(), kNamed); ++i)
        text += (i == 0 ? "" : ", ") + bases[i].path;
    if (bases.size() > kNamed) text += " and " + std::to_string(bases.size() - kNamed) + " more";
    return text;
}

}  // namespace

DeltaHead readDeltaHead(std::string_view head) {
    DeltaHead read;
    const std::size_t start = packDataStart(head);
    if (start == 0) return read;
    const DeltaPackHeader header = readDeltaPackHeader(head.substr(std::min(start, head.size())));
    if (header.length == 0) {
        // The lead itself is cut short, or is no lead at all.
        if (head.size() < start + kLeadRoom) read.needed = start + kLeadRoom;
        return read;
    }
    if (!header.pack) {
        if (head.size() < start + header.length) read.needed = start + header.length;
        return read;
    }
    read.bases.emplace();
    read.format = header.pack->format();
    for (const DeltaFile& file : header.pack->files) {
        if (!file.base.empty()) read.bases->push_back({file.base, file.baseSize});
    }
    return read;
}

std::optional<DeltaHead> deltaHeadOf(int archiveFd) {
    struct stat info {};
    if (::fstat(archiveFd, &info) != 0) return std::nullopt;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    std::string head;
    for (std::uint64_t want = std::min<std::uint64_t>(size, kDeltaHeadFirstRead);;) {
        head.resize(static_cast<std::size_t>(want));
        if (::pread(archiveFd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()))
            return std::nullopt;
        DeltaHead read = readDeltaHead(head);
        if (read.bases) return read;
        if (read.needed <= want || read.needed > std::min<std::uint64_t>(size, kDeltaHeadLimit))
            return std::nullopt;
        want = read.needed;
    }
}

std::optional<ContentDigest> basesDigest(const std::vector<DeltaBase>& bases,
                                         const std::string& treeDir) {
    if (!cryptoReady()) return std::nullopt;
    ContentHasher hasher;
    if (!walkBases(bases, treeDir, &hasher).empty()) return std::nullopt;
    return digestOf(hasher.finish());
}

std::string basesProblem(const std::vector<DeltaBase>& bases, const std::string& launcherDir,
                         const std::optional<ContentDigest>& digest) {
    if (!digest || !cryptoReady()) return walkBases(bases, launcherDir, nullptr);
    ContentHasher hasher;
    if (std::string problem = walkBases(bases, launcherDir, &hasher); !problem.empty())
        return problem;
    if (digestOf(hasher.finish()) == *digest) return {};
    if (bases.size() == 1)
        return "the installed " + bases.front().path +
               " is not the file the delta was made against";
    return "the installed files it is rebuilt from (" + someOf(bases) +
           ") are not those the delta was made against";
}

}  // namespace gd

#include "publish/tree_scan.h"

#include "util/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace gd::publish {

namespace {

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

TreeEntry entryOf(const struct stat& info) {
    TreeEntry entry;
    entry.folder = S_ISDIR(info.st_mode);
    entry.size = entry.folder ? 0 : static_cast<std::uint64_t>(info.st_size);
    entry.executable = !entry.folder && (info.st_mode & S_IXUSR) != 0;
    entry.device = info.st_dev;
    entry.inode = info.st_ino;
    entry.modified = info.st_mtim;
    entry.changed = info.st_ctim;
    return entry;
}

// Reads up to `size` bytes of `fd` into `buffer`, through short reads; the
// count read, or -1 on an error.
ssize_t readFull(int fd, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

class Scanner {
  public:
    Scanner(TreeScan& scan, std::vector<std::string>& problems)
        : scan_(scan), problems_(problems) {}

    void scanFolder(const std::filesystem::path& folder, const std::string& prefix) {
        DIR* stream = ::opendir(folder.c_str());
        if (stream == nullptr) {
            problems_.push_back("cannot read the folder " + folder.string());
            return;
        }
        std::vector<std::string> names;
        while (const dirent* item = ::readdir(stream)) {
            const std::string name = item->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(stream);
        for (const std::string& name : names) scanItem(folder / name, prefix + name);
    }

  private:
    void scanItem(const std::filesystem::path& path, const std::string& relative) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            problems_.push_back("cannot read " + path.string());
            return;
        }
        if (S_ISLNK(info.st_mode)) {
            problems_.push_back("symbolic link " + path.string() + ": updates cannot make links");
            return;
        }
        if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
            problems_.push_back("special file " + path.string() + ": updates carry only files");
            return;
        }
        scan_[relative] = entryOf(info);
        if (S_ISDIR(info.st_mode)) scanFolder(path, relative + "/");
    }

    TreeScan& scan_;
    std::vector<std::string>& problems_;
};

}  // namespace

std::optional<TreeScan> scanTree(const std::filesystem::path& root,
                                 std::vector<std::string>& problems) {
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    TreeScan scan;
    Scanner(scan, problems).scanFolder(root, "");
    return scan;
}

bool untouchedSince(const TreeEntry& scanned, const TreeEntry& now) {
    return scanned.folder == now.folder && scanned.device == now.device &&
           scanned.inode == now.inode && scanned.size == now.size &&
           sameTime(scanned.modified, now.modified) && sameTime(scanned.changed, now.changed);
}

Comparison compareFiles(const std::filesystem::path& first, const std::filesystem::path& second) {
    // Read rather than mapped: a file cut short while it is compared must be
    // a difference, not a SIGBUS.
    constexpr std::uint64_t kPiece = 1 << 20;
    const gd::UniqueFd a(::open(first.c_str(), O_RDONLY | O_CLOEXEC));
    const gd::UniqueFd b(::open(second.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat infoA {};
    struct stat infoB {};
    if (!a || !b || ::fstat(a.get(), &infoA) != 0 || ::fstat(b.get(), &infoB) != 0)
        return Comparison::Unreadable;
    if (infoA.st_size != infoB.st_size) return Comparison::Different;
    const std::size_t piece =
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(kPiece, infoA.st_size));
    const auto pieceA = std::make_unique_for_overwrite<char[]>(piece);
    const auto pieceB = std::make_unique_for_overwrite<char[]>(piece);
    for (;;) {
        const ssize_t gotA = readFull(a.get(), pieceA.get(), piece);
        const ssize_t gotB = readFull(b.get(), pieceB.get(), piece);
        if (gotA < 0 || gotB < 0) return Comparison::Unreadable;
        if (gotA != gotB ||
            std::memcmp(pieceA.get(), pieceB.get(), static_cast<std::size_t>(gotA)) != 0)
            return Comparison::Different;
        if (gotA == 0) return Comparison::Same;
    }
}

}  // namespace gd::publish

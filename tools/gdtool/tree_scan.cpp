#include "tree_scan.h"

#include "util/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace gdtool {

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

// A whole file mapped for reading; empty when it has no bytes.
class MappedFile {
  public:
    explicit MappedFile(const std::filesystem::path& path) {
        const gd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0) return;
        size_ = static_cast<std::size_t>(info.st_size);
        readable_ = true;
        if (size_ == 0) return;
        data_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (data_ == MAP_FAILED) {
            data_ = nullptr;
            readable_ = false;
            return;
        }
        ::madvise(data_, size_, MADV_SEQUENTIAL);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data_ != nullptr) ::munmap(data_, size_);
    }

    bool readable() const { return readable_; }
    std::size_t size() const { return size_; }
    const void* data() const { return data_; }

  private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    bool readable_ = false;
};

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
    // Mapped rather than read: the trees are mostly in the page cache, and
    // comparing them in place copies nothing. (A file cut short while it is
    // compared ends gdtool with SIGBUS: the trees must hold still.)
    const MappedFile a(first), b(second);
    if (!a.readable() || !b.readable()) return Comparison::Unreadable;
    if (a.size() != b.size()) return Comparison::Different;
    if (a.size() == 0) return Comparison::Same;
    return std::memcmp(a.data(), b.data(), a.size()) == 0 ? Comparison::Same
                                                          : Comparison::Different;
}

}  // namespace gdtool

#include "util/mapped_file.h"

#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace gd {

MappedFile::MappedFile(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) map(fd.get());
}

MappedFile::MappedFile(int fd) {
    map(fd);
}

void MappedFile::map(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return;
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ == 0) {
        ok_ = true;  // mmap refuses a length of 0
        return;
    }
    void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        size_ = 0;
        return;
    }
    data_ = mapped;
    ok_ = true;
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

}  // namespace gd

// A whole file mapped read-only into memory, for code that needs a file's
// bytes in one piece without copying them (a signature over the whole file).
// What is written to the file afterwards shows through: it may be filled
// while it is read.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace gd {

class MappedFile {
  public:
    // Maps the regular file at `path`; `ok()` is false when it cannot be
    // opened or mapped. An empty file maps to an empty view.
    explicit MappedFile(const std::filesystem::path& path);
    // Maps the regular file open as `fd`, which stays the caller's.
    explicit MappedFile(int fd);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    bool ok() const { return ok_; }
    std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

  private:
    void map(int fd);

    void* data_ = nullptr;
    std::size_t size_ = 0;
    bool ok_ = false;
};

}  // namespace gd

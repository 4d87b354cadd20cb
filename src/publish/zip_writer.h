// Writing zip archives as the engine reads them: entries made on Unix (so
// their permission bits travel) with UTF-8 names flagged as such.
#pragma once

#include "util/unique_fd.h"

#include <minizip/zip.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

class ZipWriter {
  public:
    // Creates (or truncates) the archive at `path`.
    explicit ZipWriter(const std::filesystem::path& path);
    // Writes the archive into the open, empty file `fd`, which stays the
    // caller's: it is neither closed nor reopened by name.
    explicit ZipWriter(int fd);
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;
    ~ZipWriter();  // closes an archive that was not closed, discarding errors
    explicit operator bool() const { return zip_ != nullptr; }

    // Fills the buffer and returns the byte count; 0 at the end.
    using Reader = std::function<std::size_t(char* buffer, std::size_t size)>;

    // Adds one regular file named `name` (its path inside the archive, '/'
    // between folders) with the permission bits of `mode`, deflated unless
    // `stored` (for what is compressed already).
    bool add(const std::string& name, mode_t mode, std::time_t modified, std::uint64_t size,
             const Reader& read, bool stored = false);
    // Adds the file at `file` under `name`, with its mode and time stamp, or
    // stamped `modified` when given (a file made for the archive carries the
    // clock's time, as addBytes does, not the moment the disk saw it).
    bool addFile(const std::string& name, const std::filesystem::path& file, bool stored = false,
                 std::optional<std::time_t> modified = std::nullopt);
    // Adds `bytes` under `name`, mode 0644, stamped now.
    bool addBytes(const std::string& name, const std::string& bytes);

    // Writes the central directory; false when the archive is incomplete.
    bool close();

    // The descriptor minizip writes through; see zip_writer.cpp.
    struct Stream {
        int fd = -1;
        bool failed = false;
    };

  private:
    void open();

    gd::UniqueFd owned_;  // the file opened by path, if any
    Stream stream_;
    zipFile zip_ = nullptr;
    std::vector<char> buffer_;  // one for all entries: a tree has thousands
};

}  // namespace gd::publish

// A zip archive open for minizip, read through a descriptor rather than a
// path: the bytes unpacked are those of the file the caller holds open
// (the download that was judged), whatever has become of its name.
#pragma once

#include <minizip/unzip.h>

#include <cstdint>
#include <vector>

namespace gd {

class ZipReader {
  public:
    // Reads `fd` (which stays the caller's, and open while this lives) with
    // positioned reads, so that its file offset is left alone. Check the bool.
    explicit ZipReader(int fd);
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;
    ~ZipReader();

    explicit operator bool() const { return file_ != nullptr; }
    unzFile get() const { return file_; }
    int fd() const { return stream_.fd; }

    // What minizip's callbacks work on. minizip reads header fields a byte
    // at a time: the reads go through a buffer.
    struct Stream {
        int fd = -1;
        std::uint64_t position = 0;
        std::uint64_t bufferStart = 0;
        std::vector<char> buffer;
        bool failed = false;

        std::size_t read(char* out, std::size_t size);
        bool seek(std::uint64_t offset, int origin);
    };

  private:
    Stream stream_;
    unzFile file_ = nullptr;  // last: it reads through stream_
};

}  // namespace gd

// One raw LZMA2 stream read from a part of a file, in pieces, so that its
// size costs only the dictionary's memory.
#pragma once

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace gd {

class LzmaReader {
  public:
    // The stream is the `packed` bytes at `offset` in `fd` (which must stay
    // open) and unpacks to `size` bytes with a dictionary of `dictionary`.
    LzmaReader(int fd, std::uint64_t offset, std::uint64_t packed, std::uint64_t size,
               std::uint32_t dictionary);
    LzmaReader(const LzmaReader&) = delete;
    LzmaReader& operator=(const LzmaReader&) = delete;
    ~LzmaReader();

    // The next `count` unpacked bytes; false when the stream is damaged or
    // holds fewer.
    bool read(char* out, std::size_t count);
    // Whether every unpacked byte was read and the stream ended exactly at
    // the end of its packed bytes.
    bool finished();
    // Every unpacked byte into `out`, and whether the stream ended there.
    bool readAll(char* out) { return read(out, static_cast<std::size_t>(sizeLeft_)) && finished(); }

  private:
    bool refill();
    bool step();

    int fd_;
    std::uint64_t offset_;
    std::uint64_t packedLeft_;
    std::uint64_t sizeLeft_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ready_ = false;
    bool ended_ = false;
    std::unique_ptr<std::uint8_t[]> input_;
};

}  // namespace gd

// One zstd frame (without its magic number) read from a part of a file, in
// pieces, so that its size costs only its window's memory: the streams of a
// Diff group whose bytes must come out faster than LZMA2 gives them.
#pragma once

#include "util/populated_memory.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct ZSTD_DCtx_s;

namespace gd {

class ZstdReader {
  public:
    // The frame is the `packed` bytes at `offset` in `fd` (which must stay
    // open) and unpacks to `size` bytes; a frame that needs a window larger
    // than `window` is damaged.
    ZstdReader(int fd, std::uint64_t offset, std::uint64_t packed, std::uint64_t size,
               std::uint32_t window);
    ZstdReader(const ZstdReader&) = delete;
    ZstdReader& operator=(const ZstdReader&) = delete;
    ~ZstdReader();

    // The next `count` unpacked bytes; false when the frame is damaged or
    // holds fewer.
    bool read(char* out, std::size_t count);
    // Whether every unpacked byte was read and the frame ended exactly at
    // the end of its packed bytes.
    bool finished();
    // Every unpacked byte into `out` at once, which then serves as the
    // decoder's window (no window of its own, no copy out of it), and whether
    // the frame ended exactly there. Only in place of read() and finished().
    bool readAll(char* out);

  private:
    bool step(char* out, std::size_t count, std::size_t& made);

    struct ContextFree {
        void operator()(ZSTD_DCtx_s* context) const;
    };

    int fd_;
    std::uint64_t offset_;
    std::uint64_t packedLeft_;
    std::uint64_t sizeLeft_;
    std::uint64_t size_;  // unpacked, all told: the decoder's allocations read it
    std::unique_ptr<ZSTD_DCtx_s, ContextFree> context_;
    bool ended_ = false;
    PopulatedBuffer input_;
    std::size_t inputPos_ = 0, inputSize_ = 0;
};

}  // namespace gd

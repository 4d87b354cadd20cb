#include "update/zstd_reader.h"

#include "util/fd_io.h"
#include "util/populated_memory.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace gd {

namespace {

constexpr std::size_t kInputSize = 256 * 1024;

// The decoder's own state is written in part; its input buffer and window
// come in one allocation, the window written from its start as far as the
// frame reaches (`opaque`: the frame's unpacked size), the input buffer only
// for blocks cut by a piece's end. The pages up to the frame's end are made
// as it is taken: a window larger than its frame is not filled for nothing.
constexpr std::size_t kWindowFrom = 256 * 1024;

void* windowPopulatingAllocation(void* opaque, std::size_t size) {
    void* memory = std::malloc(size);
    const std::uint64_t written = *static_cast<const std::uint64_t*>(opaque) + kInputSize;
    if (memory != nullptr && size >= kWindowFrom)
        populatePages(static_cast<char*>(memory),
                      static_cast<std::size_t>(std::min<std::uint64_t>(size, written)));
    return memory;
}

void freeAllocation(void*, void* memory) {
    std::free(memory);
}

}  // namespace

void ZstdReader::ContextFree::operator()(ZSTD_DCtx_s* context) const {
    ZSTD_freeDCtx(context);
}

ZstdReader::ZstdReader(int fd, std::uint64_t offset, std::uint64_t packed, std::uint64_t size,
                       std::uint32_t window)
    : fd_(fd),
      offset_(offset),
      packedLeft_(packed),
      sizeLeft_(size),
      size_(size),
      context_(ZSTD_createDCtx_advanced({windowPopulatingAllocation, freeAllocation, &size_})),
      // No piece of the input is longer than the whole.
      input_(
          populatedBuffer(static_cast<std::size_t>(std::min<std::uint64_t>(packed, kInputSize)))) {
    const int windowLog = std::max<int>(ZSTD_WINDOWLOG_MIN, std::bit_width(window) - 1);
    if (context_ &&
        (ZSTD_isError(
             ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless)) ||
         ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, windowLog))))
        context_.reset();
}

ZstdReader::~ZstdReader() = default;

// One call of the decoder into out[made..count), fed first when it has no
// input left. False when the frame is damaged, or can go no further for
// want of input.
bool ZstdReader::step(char* out, std::size_t count, std::size_t& made) {
    if (inputPos_ == inputSize_ && packedLeft_ > 0) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(packedLeft_, kInputSize));
        if (!readAllAt(fd_, input_.get(), piece, offset_)) return false;
        offset_ += piece;
        packedLeft_ -= piece;
        inputPos_ = 0;
        inputSize_ = piece;
    }
    ZSTD_inBuffer input{input_.get(), inputSize_, inputPos_};
    ZSTD_outBuffer output{out, count, made};
    const std::size_t left = ZSTD_decompressStream(context_.get(), &output, &input);
    if (ZSTD_isError(left)) return false;
    const bool moved = input.pos != inputPos_ || output.pos != made;
    inputPos_ = input.pos;
    made = output.pos;
    if (left == 0) ended_ = true;
    return moved || ended_;
}

bool ZstdReader::read(char* out, std::size_t count) {
    if (!context_ || count > sizeLeft_) return false;
    for (std::size_t made = 0; made < count;) {
        if (ended_ || !step(out, count, made)) return false;
    }
    sizeLeft_ -= count;
    return true;
}

bool ZstdReader::readAll(char* out) {
    if (!context_ ||
        ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_stableOutBuffer, 1)))
        return false;
    const auto count = static_cast<std::size_t>(sizeLeft_);
    std::size_t made = 0;
    while (!ended_) {
        if (!step(out, count, made)) return false;
    }
    sizeLeft_ = 0;
    return made == count && inputPos_ == inputSize_ && packedLeft_ == 0;
}

bool ZstdReader::finished() {
    if (!context_ || sizeLeft_ != 0) return false;
    // The frame's last block may still wait behind the last byte; no byte
    // may come before its end.
    char spare = 0;
    std::size_t made = 0;
    while (!ended_) {
        if (!step(&spare, 1, made) || made != 0) return false;
    }
    return inputPos_ == inputSize_ && packedLeft_ == 0;
}

}  // namespace gd

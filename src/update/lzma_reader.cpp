#include "update/lzma_reader.h"

#include "util/fd_io.h"

#include <algorithm>

namespace gd {

namespace {

constexpr std::size_t kInputSize = 256 * 1024;

}  // namespace

LzmaReader::LzmaReader(int fd, std::uint64_t offset, std::uint64_t packed, std::uint64_t size,
                       std::uint32_t dictionary)
    : fd_(fd),
      offset_(offset),
      packedLeft_(packed),
      sizeLeft_(size),
      input_(std::make_unique<std::uint8_t[]>(kInputSize)) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, 0) != 0) return;
    options.dict_size = dictionary;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    ready_ = lzma_raw_decoder(&stream_, filters) == LZMA_OK;
}

LzmaReader::~LzmaReader() {
    lzma_end(&stream_);
}

bool LzmaReader::refill() {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(packedLeft_, kInputSize));
    if (!readAllAt(fd_, reinterpret_cast<char*>(input_.get()), count, offset_)) return false;
    offset_ += count;
    packedLeft_ -= count;
    stream_.next_in = input_.get();
    stream_.avail_in = count;
    return true;
}

// One call of the decoder, fed first when it has no input left. False when
// the stream is damaged, or can go no further for want of input.
bool LzmaReader::step() {
    if (stream_.avail_in == 0 && packedLeft_ > 0 && !refill()) return false;
    const std::size_t inBefore = stream_.avail_in, outBefore = stream_.avail_out;
    const lzma_ret result = lzma_code(&stream_, LZMA_RUN);
    if (result == LZMA_STREAM_END) {
        ended_ = true;
        return true;
    }
    if (result != LZMA_OK) return false;
    const bool moved = stream_.avail_in != inBefore || stream_.avail_out != outBefore;
    return moved;
}

bool LzmaReader::read(char* out, std::size_t count) {
    if (!ready_ || count > sizeLeft_) return false;
    stream_.next_out = reinterpret_cast<std::uint8_t*>(out);
    stream_.avail_out = count;
    while (stream_.avail_out > 0) {
        if (ended_ || !step()) return false;
    }
    sizeLeft_ -= count;
    return true;
}

bool LzmaReader::finished() {
    if (!ready_ || sizeLeft_ != 0) return false;
    // The end marker may still wait behind the last byte; no byte may come
    // before it.
    std::uint8_t spare = 0;
    stream_.next_out = &spare;
    stream_.avail_out = 1;
    while (!ended_) {
        if (!step() || stream_.avail_out == 0) return false;
    }
    return stream_.avail_out == 1 && stream_.avail_in == 0 && packedLeft_ == 0;
}

}  // namespace gd

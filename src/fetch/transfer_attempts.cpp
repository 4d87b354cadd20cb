#include "fetch/transfer_attempts.h"

#include "util/stop_wait.h"

namespace gd {

bool ChunkAttempts::failed(std::uint64_t reached) {
    const std::uint64_t chunk = reached / kDownloadChunkSize;
    if (chunk != chunk_) {
        chunk_ = chunk;
        failures_ = 0;
    }
    return ++failures_ < kChunkAttempts;
}

int downloadPercent(std::uint64_t bytes, std::optional<std::uint64_t> size) {
    if (!size) return 0;
    if (*size == 0 || bytes >= *size) return 100;
    return static_cast<int>(bytes * 100 / *size);
}

bool pauseBeforeRetry(const std::stop_token& stop) {
    return waitUnlessStopped(stop, kChunkRetryPause);
}

}  // namespace gd

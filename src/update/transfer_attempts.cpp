#include "update/transfer_attempts.h"

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

bool pauseBeforeRetry(const std::stop_token& stop) {
    return waitUnlessStopped(stop, kChunkRetryPause);
}

}  // namespace gd

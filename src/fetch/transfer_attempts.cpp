#include "fetch/transfer_attempts.h"

#include "util/stop_wait.h"

#include <algorithm>

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

TransferProgress transferProgress(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size) {
    TransferProgress progress;
    progress.travelled = reached - std::min(start, reached);
    if (size) progress.toTravel = *size - std::min(start, *size);
    progress.percent = downloadPercent(progress.travelled, progress.toTravel);
    return progress;
}

TransferProgress finishedTransfer(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size) {
    TransferProgress done = transferProgress(start, reached, size);
    done.percent = 100;
    done.toTravel = done.travelled;
    return done;
}

TransferProgress retryingTransfer(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size, int attempt) {
    TransferProgress waiting = transferProgress(start, reached, size);
    waiting.retryAttempt = attempt;
    waiting.retryWait = kChunkRetryPause;
    return waiting;
}

ProgressPacer::ProgressPacer(std::uint64_t start)
    : start_(start), reached_(start), last_(std::chrono::steady_clock::now()) {}

bool ProgressPacer::due(std::uint64_t reached, std::optional<std::uint64_t> size) {
    // The percentage first: it costs no clock reading.
    const int percent = transferProgress(start_, reached, size).percent;
    if (size ? percent == percent_ : reached == reached_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kProgressInterval) return false;
    percent_ = percent;
    reached_ = reached;
    last_ = now;
    return true;
}

bool pauseBeforeRetry(const std::stop_token& stop) {
    return waitUnlessStopped(stop, kChunkRetryPause);
}

}  // namespace gd

// How a download is retried and reported, whatever the transport: in
// chunks of kDownloadChunkSize, each with kChunkAttempts attempts
// kChunkRetryPause apart, every retry resuming at the byte reached; its
// progress paced by ProgressPacer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>

namespace gd {

inline constexpr std::size_t kDownloadChunkSize = 4 * 1024 * 1024;
inline constexpr int kChunkAttempts = 16;
inline constexpr std::chrono::milliseconds kChunkRetryPause{1000};

// Counts the failed attempts of the chunk that holds the byte reached; an
// attempt that got into a later chunk before failing starts that chunk's count.
class ChunkAttempts {
  public:
    // Records a failed attempt; false when the chunk has no attempt left.
    bool failed(std::uint64_t reached);
    // The number of the attempt that follows the failed ones, 2 and up.
    int next() const { return failures_ + 1; }

  private:
    std::uint64_t chunk_ = 0;
    int failures_ = 0;
};

// How far `bytes` of a file of `size` bytes are, 0 to 100; 0 while the size
// is unknown, 100 for an empty file.
int downloadPercent(std::uint64_t bytes, std::optional<std::uint64_t> size);

// Where a download stands for the person watching it: the bytes that
// travelled in this transfer, against those it brings. A transfer that
// continues a file counts only what it adds to it.
struct TransferProgress {
    int percent = 0;  // 0 to 100
    std::uint64_t travelled = 0;
    std::optional<std::uint64_t> toTravel;  // unknown while the file's size is
    // While the transfer waits to try again: the attempt that follows and
    // how long it waits first; 0 otherwise.
    int retryAttempt = 0;
    std::chrono::milliseconds retryWait{0};
};

// Reports come no more often than this while a transfer runs.
inline constexpr std::chrono::milliseconds kProgressInterval{500};

// When a running transfer's progress is worth a report: once it has moved
// by a percent and kProgressInterval has passed since the last report (by
// any byte, while the size is unknown). A slow line's bar thus moves every
// half second, and a fast transfer is not held up by its reports.
class ProgressPacer {
  public:
    // For a transfer into a sink that held `start` bytes when it began.
    explicit ProgressPacer(std::uint64_t start);
    bool due(std::uint64_t reached, std::optional<std::uint64_t> size);

  private:
    std::uint64_t start_;
    int percent_ = 0;
    std::uint64_t reached_;
    std::chrono::steady_clock::time_point last_;
};

// The progress at `reached` bytes of a file of `size` bytes, for a transfer
// into a sink that held `start` bytes when it began.
TransferProgress transferProgress(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size);
// The same at the end of a whole transfer: 100, all of it travelled.
TransferProgress finishedTransfer(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size);
// The progress at `reached` while the transfer waits before its attempt
// number `attempt`.
TransferProgress retryingTransfer(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size, int attempt);

// Waits kChunkRetryPause; false when `stop` was requested meanwhile.
bool pauseBeforeRetry(const std::stop_token& stop);

}  // namespace gd

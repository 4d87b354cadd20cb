// How a download is retried, whatever the transport: in chunks of
// kDownloadChunkSize, each with kChunkAttempts attempts kChunkRetryPause
// apart, every retry resuming at the byte reached.
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
};

// The progress at `reached` bytes of a file of `size` bytes, for a transfer
// into a sink that held `start` bytes when it began.
TransferProgress transferProgress(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size);
// The same at the end of a whole transfer: 100, all of it travelled.
TransferProgress finishedTransfer(std::uint64_t start, std::uint64_t reached,
                                  std::optional<std::uint64_t> size);

// Waits kChunkRetryPause; false when `stop` was requested meanwhile.
bool pauseBeforeRetry(const std::stop_token& stop);

}  // namespace gd

// Hands a download's bytes to another sink on a thread of its own, so that
// receiving them (socket reads, hashing) and what the sink does with them
// (inflating, writing) run on two cores. A bounded number of buffers is in
// flight: memory stays flat whatever the size of the file.
#pragma once

#include "fetch/download_sink.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace gd {

class PipelinedSink final : public DownloadSink {
  public:
    explicit PipelinedSink(DownloadSink& next);
    PipelinedSink(const PipelinedSink&) = delete;
    PipelinedSink& operator=(const PipelinedSink&) = delete;
    ~PipelinedSink() override;

    // False once `next` has refused bytes handed to it earlier.
    bool accept(std::span<const char> bytes) override;
    // What was taken, whether or not `next` has had it yet: a resumed
    // transfer continues after it.
    std::uint64_t received() const override { return received_; }
    // Waits until `next` has had every byte; false when it refused some.
    // Nothing is accepted after it.
    bool finish();

  private:
    void hand();
    void run();

    DownloadSink& next_;
    std::uint64_t received_ = 0;
    std::vector<char> filling_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<char>> full_;
    std::vector<std::vector<char>> spare_;
    bool refused_ = false;
    bool closing_ = false;
    std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace gd

// Hands a download's bytes to another sink on a thread of its own, so that
// receiving them (socket reads, hashing) and what the sink does with them
// (inflating, writing) run on two cores. A bounded number of buffers is in
// flight: memory stays flat whatever the size of the file. For a few hundred
// KiB a thread costs more than it saves: made `OnThisThread`, it hands each
// full buffer to the sink itself, through the same calls.
#pragma once

#include "fetch/download_sink.h"
#include "util/populated_memory.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace gd {

class PipelinedSink final : public DownloadSink {
  public:
    enum class Where { OwnThread, OnThisThread };

    explicit PipelinedSink(DownloadSink& next, Where where = Where::OwnThread);
    PipelinedSink(const PipelinedSink&) = delete;
    PipelinedSink& operator=(const PipelinedSink&) = delete;
    ~PipelinedSink() override;

    // False once `next` has refused bytes handed to it earlier.
    bool accept(std::span<const char> bytes) override;
    // Room for at most `count` (> 0) more bytes, at least one, to be made in
    // place and handed on by commit(): a copy less than accept() for bytes
    // that are made rather than received. Waits while the buffers in flight
    // are full.
    std::span<char> room(std::size_t count);
    // Hands on the first `count` bytes of the last room(). False once `next`
    // has refused bytes, as seen when a full buffer goes.
    bool commit(std::size_t count);
    // Hands on `bytes` where they are, without a copy: they must stay as
    // they are until finish(). False once `next` has refused bytes.
    bool lend(std::span<const char> bytes);
    // What was taken, whether or not `next` has had it yet: a resumed
    // transfer continues after it.
    std::uint64_t received() const override { return received_; }
    // Waits until `next` has had every byte; false when it refused some.
    // Nothing is accepted after it.
    bool finish();

  private:
    // Bytes of its own, or lent ones.
    struct Buffer {
        PopulatedBuffer bytes;
        std::size_t size = 0;
        std::span<const char> lent;
        std::span<const char> view() const {
            return bytes ? std::span<const char>(bytes.get(), size) : lent;
        }
    };

    // False once `next` has refused bytes.
    bool hand();
    // Hands `filling_` to `next` on this thread and keeps it for more.
    bool handHere();
    std::size_t bufferSize() const;
    void run();

    DownloadSink& next_;
    Where where_;
    std::uint64_t received_ = 0;
    Buffer filling_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Buffer> full_;
    std::vector<Buffer> spare_;
    bool refused_ = false;
    bool closing_ = false;
    std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace gd

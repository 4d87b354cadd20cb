#include "fetch/pipelined_sink.h"

#include <algorithm>

namespace gd {

namespace {

// Large enough that handing a buffer over costs little beside filling it,
// small enough that the sink starts soon after the first bytes.
constexpr std::size_t kBufferSize = 512 * 1024;
constexpr std::size_t kBuffersInFlight = 4;

}  // namespace

PipelinedSink::PipelinedSink(DownloadSink& next) : next_(next), thread_([this] { run(); }) {
    filling_.reserve(kBufferSize);
}

PipelinedSink::~PipelinedSink() {
    finish();
}

bool PipelinedSink::accept(std::span<const char> bytes) {
    while (!bytes.empty()) {
        const std::size_t take = std::min(bytes.size(), kBufferSize - filling_.size());
        filling_.insert(filling_.end(), bytes.begin(), bytes.begin() + take);
        bytes = bytes.subspan(take);
        received_ += take;
        if (filling_.size() == kBufferSize) hand();
    }
    const std::lock_guard lock(mutex_);
    return !refused_ && !closing_;
}

void PipelinedSink::hand() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return full_.size() < kBuffersInFlight || refused_; });
    if (!refused_ && !closing_) full_.push_back(std::move(filling_));
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
    } else {
        filling_ = {};
        filling_.reserve(kBufferSize);
    }
    filling_.clear();
    changed_.notify_all();
}

bool PipelinedSink::finish() {
    if (thread_.joinable()) {
        if (!filling_.empty()) hand();
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    const std::lock_guard lock(mutex_);
    return !refused_;
}

void PipelinedSink::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !full_.empty() || closing_; });
        if (full_.empty()) return;
        std::vector<char> buffer = std::move(full_.front());
        full_.pop_front();
        const bool skip = refused_;
        lock.unlock();
        const bool taken = skip || next_.accept(buffer);
        lock.lock();
        if (!taken) {
            refused_ = true;
            full_.clear();
        }
        spare_.push_back(std::move(buffer));
        changed_.notify_all();
    }
}

}  // namespace gd

#include "fetch/pipelined_sink.h"

#include "util/populated_memory.h"

#include <algorithm>

namespace gd {

namespace {

// Large enough that handing a buffer over costs little beside filling it,
// small enough that the sink starts soon after the first bytes, and that a
// sink keeping pace has few buffers made: each is fresh memory, which cost
// more than a hand-over (where measured, four 512 KiB buffers in flight
// instead of sixteen of 128 KiB made a 5 MB rebuild 6 to 9 % slower). As many
// bytes in flight as before, for a sink that falls behind for a while.
constexpr std::size_t kBufferSize = 128 * 1024;
constexpr std::size_t kBuffersInFlight = 16;
// The sink's thread is woken once this many buffers wait (or at the end):
// woken for each one, it took it and slept again, a thousand times in a
// 224 MiB download, and the thread it woke often preempted the receiving
// one.
constexpr std::size_t kWakeAfter = 4;
// On this thread one buffer serves over and over: the smaller, the fewer
// fresh pages, and fresh pages are what small transfers spend their time on.
// Sinks here take pieces of this size without gathering them first.
constexpr std::size_t kBufferHereSize = 256 * 1024;

}  // namespace

PipelinedSink::PipelinedSink(DownloadSink& next, Where where) : next_(next), where_(where) {
    if (where == Where::OwnThread) thread_ = std::thread([this] { run(); });
}

PipelinedSink::~PipelinedSink() {
    finish();
}

bool PipelinedSink::accept(std::span<const char> bytes) {
    while (!bytes.empty()) {
        const std::span<char> to = room(bytes.size());
        std::copy_n(bytes.begin(), to.size(), to.begin());
        bytes = bytes.subspan(to.size());
        commit(to.size());
    }
    const std::lock_guard lock(mutex_);
    return !refused_ && !closing_;
}

std::span<char> PipelinedSink::room(std::size_t count) {
    if (!filling_.bytes) {
        const std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            filling_ = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!filling_.bytes) filling_.bytes = populatedBuffer(bufferSize());
    return {filling_.bytes.get() + filling_.size, std::min(count, bufferSize() - filling_.size)};
}

bool PipelinedSink::commit(std::size_t count) {
    filling_.size += count;
    received_ += count;
    return filling_.size < bufferSize() || hand();
}

std::size_t PipelinedSink::bufferSize() const {
    return where_ == Where::OwnThread ? kBufferSize : kBufferHereSize;
}

bool PipelinedSink::lend(std::span<const char> bytes) {
    // After what was made before them.
    if (filling_.size > 0 && !hand()) return false;
    received_ += bytes.size();
    const std::lock_guard lock(mutex_);
    // In pieces of a buffer's size, as the sink would have had them copied;
    // they take no memory, so they do not wait for room.
    for (std::size_t at = 0; at < bytes.size() && !refused_ && !closing_; at += kBufferSize) {
        const auto piece = bytes.subspan(at, std::min(kBufferSize, bytes.size() - at));
        if (where_ == Where::OnThisThread) {
            refused_ = !next_.accept(piece);
        } else {
            full_.push_back({nullptr, 0, piece});
        }
    }
    changed_.notify_all();
    return !refused_ && !closing_;
}

bool PipelinedSink::hand() {
    if (where_ == Where::OnThisThread) return handHere();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return full_.size() < kBuffersInFlight || refused_; });
    if (!refused_ && !closing_) full_.push_back(std::move(filling_));
    filling_ = {};
    if (full_.size() >= kWakeAfter) changed_.notify_all();
    return !refused_;
}

bool PipelinedSink::handHere() {
    refused_ = refused_ || closing_ || !next_.accept(filling_.view());
    filling_.size = 0;
    return !refused_;
}

bool PipelinedSink::finish() {
    if (filling_.size > 0) hand();
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    const std::lock_guard lock(mutex_);
    return !refused_;
}

void PipelinedSink::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !full_.empty() || closing_; });
        if (full_.empty()) return;
        Buffer buffer = std::move(full_.front());
        full_.pop_front();
        const bool skip = refused_;
        lock.unlock();
        const bool taken = skip || next_.accept(buffer.view());
        lock.lock();
        if (!taken) {
            refused_ = true;
            full_.clear();
        }
        if (buffer.bytes) {
            buffer.size = 0;
            spare_.push_back(std::move(buffer));
        }
        changed_.notify_all();
    }
}

}  // namespace gd

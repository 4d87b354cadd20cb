#include "util/early_flush.h"

#include <fcntl.h>
#include <unistd.h>

namespace gd {

EarlyFlush::EarlyFlush(std::uint64_t every) : every_(every) {}

EarlyFlush::~EarlyFlush() {
    thread_.request_stop();
}

void EarlyFlush::writing(int fd, std::uint64_t end) {
    if (end >= started_ && end - started_ < every_ / 2) return;
    startWriteback(fd, end);
    flushIfDue(fd);
}

void EarlyFlush::finished(int fd, std::uint64_t bytes) {
    startWriteback(fd, bytes);
    started_ = 0;
    flushIfDue(fd);
}

void EarlyFlush::startWriteback(int fd, std::uint64_t end) {
    // Fewer bytes than already started: a file left unfinished went before.
    if (end < started_) started_ = 0;
    // Its length 0 means to the file's end: an empty range is not asked for.
    if (end > started_) {
        const auto from = static_cast<off_t>(started_);
        const auto length = static_cast<off_t>(end - started_);
        UniqueFd copy;
        if (thread_.joinable()) copy.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (copy) {
            const std::lock_guard lock(mutex_);
            work_.push_back({std::move(copy), from, length, false});
            due_.notify_one();
        } else {
            ::sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
        }
    }
    sinceFlush_ += end - started_;
    started_ = end;
}

void EarlyFlush::flushIfDue(int fd) {
    if (sinceFlush_ < every_) return;
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) return;  // nothing lost: the batch's sync does it all
    sinceFlush_ = 0;
    {
        const std::lock_guard lock(mutex_);
        // A newer file flushes the older ones' data too.
        for (Work& waiting : work_) waiting.flush = false;
        work_.push_back({std::move(copy), 0, 0, true});
    }
    // Started with the first flush: most batches are too small for one.
    if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    due_.notify_one();
}

void EarlyFlush::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (due_.wait(lock, stop, [this] { return !work_.empty(); }) && !stop.stop_requested()) {
        Work work = std::move(work_.front());
        work_.pop_front();
        lock.unlock();
        // Results do not matter: the batch's sync reports any failure.
        if (work.length > 0)
            ::sync_file_range(work.file.get(), work.from, work.length, SYNC_FILE_RANGE_WRITE);
        if (work.flush) (void)::fdatasync(work.file.get());
        work.file.reset();
        lock.lock();
    }
}

}  // namespace gd

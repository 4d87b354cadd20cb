#include "util/files_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace gd {

namespace {

// Small archives' files are made where they are asked for: for a few, a
// thread costs more than it saves.
constexpr std::size_t kMadeHere = 8;

}  // namespace

FilesAhead::FilesAhead(int directory, std::size_t ahead) : directory_(directory), ahead_(ahead) {}

FilesAhead::~FilesAhead() {
    stop();
    for (const auto& [number, file] : ready_) {
        if (file) ::unlinkat(directory_, std::to_string(number).c_str(), 0);
    }
}

UniqueFd FilesAhead::make(std::size_t number) const {
    return UniqueFd(::openat(directory_, std::to_string(number).c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

UniqueFd FilesAhead::take(std::size_t number) {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable() && !stopped_ && number >= kMadeHere) {
        made_ = number;
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    if (thread_.joinable()) {
        wanted_ = std::max(wanted_, number + 1 + ahead_);
        changed_.notify_all();
        changed_.wait(lock, [&] { return made_ > number; });
    }
    const auto found = ready_.find(number);
    if (found == ready_.end()) return make(number);
    UniqueFd file = std::move(found->second);
    ready_.erase(found);
    return file;
}

void FilesAhead::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    thread_.request_stop();
    changed_.notify_all();
    // Joined here: what it made is in ready_, and nothing is made twice.
    if (thread_.joinable()) thread_.join();
}

void FilesAhead::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (changed_.wait(lock, stop, [this] { return made_ < wanted_; })) {
        const std::size_t number = made_;
        lock.unlock();
        UniqueFd file = make(number);
        lock.lock();
        ready_.emplace(number, std::move(file));
        made_ = number + 1;
        changed_.notify_all();
    }
}

}  // namespace gd

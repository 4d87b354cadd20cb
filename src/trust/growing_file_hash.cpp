#include "trust/growing_file_hash.h"

#include "trust/crypto_library.h"
#include "util/unique_fd.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace gd {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// How long the follower waits when it has caught up with the writer.
constexpr std::chrono::milliseconds kCatchUpPause{2};

}  // namespace

GrowingFileHash::GrowingFileHash(std::filesystem::path path)
    : path_(std::move(path)), thread_([this](std::stop_token stop) { follow(stop); }) {}

GrowingFileHash::~GrowingFileHash() {
    thread_.request_stop();
    wake_.notify_all();
}

bool GrowingFileHash::pause(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, stop, kCatchUpPause, [this] { return written_.load(); });
    return !stop.stop_requested();
}

void GrowingFileHash::follow(std::stop_token stop) {
    if (!cryptoReady()) return;
    UniqueFd fd;
    while (!fd) {
        // Read before the attempt: a file still missing once written never comes.
        const bool written = written_.load();
        fd.reset(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd && (written || !pause(stop))) return;
    }
    ContentHasher hasher;
    std::vector<char> buffer(kReadSize);
    for (;;) {
        // Read before the read: an end seen after the writer finished is the end.
        const bool written = written_.load();
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got > 0) {
            hasher.add(buffer.data(), static_cast<std::size_t>(got));
        } else if (got < 0 && errno != EINTR) {
            return;
        } else if (got == 0 && (written || !pause(stop))) {
            break;
        }
    }
    if (written_.load()) result_ = hasher.finish();
}

std::optional<ContentHash> GrowingFileHash::finish() {
    written_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    return result_;
}

}  // namespace gd

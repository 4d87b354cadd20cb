// The hash of a file taken while another thread writes it from its start to
// its end (a download), on a thread of its own: once the last byte is
// written the hash is ready but for the tail, and checking a large file's
// signature costs no second pass over it.
#pragma once

#include "trust/content_hash.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

namespace gd {

class GrowingFileHash {
  public:
    // Starts following `path`, which may not exist yet. The writer only ever
    // appends to it.
    explicit GrowingFileHash(std::filesystem::path path);
    GrowingFileHash(const GrowingFileHash&) = delete;
    GrowingFileHash& operator=(const GrowingFileHash&) = delete;
    ~GrowingFileHash();  // stops following

    // Once the writer has closed the file for good: hashes what is left and
    // returns the hash of the whole file; nullopt when it could not be read.
    std::optional<ContentHash> finish();

  private:
    void follow(std::stop_token stop);
    // Waits a little for more bytes; false when following should end.
    bool pause(std::stop_token stop);

    std::filesystem::path path_;
    std::atomic<bool> written_{false};
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::optional<ContentHash> result_;
    std::jthread thread_;  // last: it uses everything above
};

}  // namespace gd

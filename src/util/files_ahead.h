// Files named by their number (0, 1, 2, ...) in a folder that this process
// fills alone, made on a thread of their own some numbers ahead of the one
// asked for. Making a file can cost far more than writing a small one (a
// file system without a journal scans past every inode freed in the last
// half minute before it takes one); made ahead, its writer does not wait
// for it. What was made and never taken is removed again.
#pragma once

#include "util/unique_fd.h"

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <thread>

namespace gd {

class FilesAhead {
  public:
    // `directory` stays open for as long as this object lives.
    explicit FilesAhead(int directory, std::size_t ahead = 16);
    FilesAhead(const FilesAhead&) = delete;
    FilesAhead& operator=(const FilesAhead&) = delete;
    // Stops making and removes what was made and not taken.
    ~FilesAhead();

    // File `number`, new (mode 0666 less the umask) and open for writing;
    // empty when it could not be made. The numbers asked for rise.
    UniqueFd take(std::size_t number);
    // No more numbers will be asked for: making ahead stops.
    void stop();

  private:
    UniqueFd make(std::size_t number) const;
    void run(std::stop_token stop);

    int directory_;
    std::size_t ahead_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::size_t wanted_ = 0;                 // made ahead: the numbers below it
    std::size_t made_ = 0;                   // the next number the thread makes
    std::map<std::size_t, UniqueFd> ready_;  // made, not taken; empty when it failed
    bool stopped_ = false;
    std::jthread thread_;  // last: it stops before the rest goes
};

}  // namespace gd

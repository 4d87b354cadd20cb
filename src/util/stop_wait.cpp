#include "util/stop_wait.h"

#include <condition_variable>
#include <mutex>

namespace gd {

bool waitUnlessStopped(std::stop_token stop, std::chrono::milliseconds pause) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, pause, [] { return false; });
    return !stop.stop_requested();
}

}  // namespace gd

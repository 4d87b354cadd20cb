// Waiting that a stop request cuts short.
#pragma once

#include <chrono>
#include <stop_token>

namespace gd {

// Sleeps for `pause` unless `stop` is requested first; false when it was.
bool waitUnlessStopped(std::stop_token stop, std::chrono::milliseconds pause);

}  // namespace gd

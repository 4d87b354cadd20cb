// Runs a piece of a test in a child process, so that a hang or an abort of the
// code under test fails that test instead of the whole test binary.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace gdtest {

struct ChildEnd {
    bool finished = false;  // false: still running at the bound, and killed
    int exitCode = -1;      // the body's result when it returned
    int signal = 0;         // what ended it otherwise (SIGABRT for an abort)
    std::chrono::steady_clock::duration took{};
};

// Forks, runs `body` in the child and exits with its result (0..255).
// Call it only while the test binary has no other threads.
ChildEnd runInChild(const std::function<int()>& body, std::chrono::milliseconds bound);

std::string describe(const ChildEnd& end);

}  // namespace gdtest

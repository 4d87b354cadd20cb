#include "util/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

// Results come in order whatever order the threads finish in, no more than
// `threads` of them are held at once, and nothing new starts after a refusal.
TEST(OrderedWork, TakesResultsInOrderHoldsFewAndStopsWhenRefused) {
    struct Case {
        std::size_t count;
        unsigned threads;
        std::size_t refuseAt;  // count: never
        std::string taken;
    };
    const Case cases[] = {
        {0, 2, 0, ""},       {1, 2, 1, "0"},   {6, 2, 6, "012345"},
        {6, 1, 6, "012345"}, {6, 2, 2, "012"}, {6, 3, 0, "0"},
    };
    for (const Case& test : cases) {
        std::atomic<std::size_t> started = 0, held = 0, mostHeld = 0;
        std::string taken;
        const bool whole = gd::runInOrder<std::size_t>(
            test.count, test.threads,
            [&](std::size_t index) {
                ++started;
                mostHeld = std::max<std::size_t>(mostHeld, ++held);
                // The first pieces take longest, so that later ones finish first.
                std::this_thread::sleep_for(std::chrono::milliseconds(index < 2 ? 20 : 1));
                return index;
            },
            [&](std::size_t index, std::size_t&& result) {
                --held;
                taken += std::to_string(result);
                return index != test.refuseAt;
            });
        const std::string name = std::to_string(test.count) + "/" + std::to_string(test.threads);
        EXPECT_EQ(taken, test.taken) << name;
        EXPECT_EQ(whole, test.refuseAt >= test.count) << name;
        EXPECT_LE(mostHeld, test.threads) << name;
        EXPECT_LE(started, std::min(test.count, test.refuseAt + test.threads)) << name;
    }
}

}  // namespace

#include "util/populated_memory.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// Buffers on the heap and in mappings of their own (around the size where
// the one gives way to the other, and across huge pages' bounds), all held
// at once: each is as long as asked, writable to its last byte, and keeps
// what was written while the others are written and given back.
TEST(PopulatedMemory, EveryBufferHoldsItsBytesUntilItIsGivenBack) {
    const std::size_t kMiB = 1024 * 1024;
    const std::vector<std::size_t> sizes{
        0, 1, 4096, kMiB / 2 - 1, kMiB / 2, 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1, 5 * kMiB};
    std::vector<gd::PopulatedBuffer> buffers;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        buffers.push_back(gd::populatedBuffer(sizes[i]));
        ASSERT_NE(buffers.back(), nullptr) << sizes[i];
        std::memset(buffers.back().get(), static_cast<int>('a' + i), sizes[i]);
    }
    buffers[3].reset();
    buffers[7].reset();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (!buffers[i] || sizes[i] == 0) continue;
        const char expected = static_cast<char>('a' + i);
        EXPECT_EQ(buffers[i][0], expected) << sizes[i];
        EXPECT_EQ(buffers[i][sizes[i] - 1], expected) << sizes[i];
        EXPECT_EQ(buffers[i][sizes[i] / 2], expected) << sizes[i];
    }
}

}  // namespace

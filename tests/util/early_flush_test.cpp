#include "util/early_flush.h"

#include "support/temp_dir.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// Files handed over and closed at once, as an unpack does, with flushes due
// after every file, now and then, or never: whatever was due, nothing stays
// open and the end does not wait for flushes that never began.
TEST(EarlyFlush, FlushesBehindTheWriterAndLeavesNothingOpen) {
    struct Case {
        std::uint64_t every;
        std::size_t files;
    };
    const Case cases[] = {{0, 40}, {3 * 4096, 40}, {1ull << 40, 40}, {0, 0}};
    gdtest::TempDir dir;
    for (const Case& test : cases) {
        const std::size_t before = openDescriptors();
        {
            gd::EarlyFlush flush(test.every);
            for (std::size_t i = 0; i < test.files; ++i) {
                const fs::path path = dir.path() / std::to_string(i);
                gdtest::writeFile(path, std::string(4096, 'x'));
                gd::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
                ASSERT_TRUE(file);
                flush.finished(file.get(), 4096);
            }
        }
        EXPECT_EQ(openDescriptors(), before) << test.every;
    }
}

}  // namespace

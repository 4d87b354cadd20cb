#include "util/early_flush.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::openDescriptors;

// Files written in pieces and handed over as they grow and once finished,
// as an unpack does, with flushes due after every piece, now and then, or
// never, and a file left unfinished (a write that failed) before the rest:
// whatever was due, nothing stays open, every file holds what was written,
// and the end does not wait for flushes that never began.
TEST(EarlyFlush, FlushesBehindTheWriterAndLeavesNothingOpen) {
    struct Case {
        std::uint64_t every;
        std::size_t files, pieces;
        bool firstUnfinished;
    };
    const Case cases[] = {
        {0, 40, 1, false}, {3 * 4096, 40, 1, false}, {1ull << 40, 40, 1, false}, {0, 0, 1, false},
        {0, 10, 8, false}, {3 * 4096, 10, 8, false}, {3 * 4096, 10, 8, true}};
    const std::string piece(4096, 'x');
    for (const Case& test : cases) {
        gdtest::TempDir dir;
        const std::size_t before = openDescriptors();
        {
            gd::EarlyFlush flush(test.every);
            for (std::size_t i = 0; i < test.files; ++i) {
                const fs::path path = dir.path() / std::to_string(i);
                gd::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
                ASSERT_TRUE(file);
                for (std::size_t p = 1; p <= test.pieces; ++p) {
                    ASSERT_EQ(::write(file.get(), piece.data(), piece.size()), 4096);
                    flush.writing(file.get(), p * 4096);
                }
                if (i > 0 || !test.firstUnfinished) flush.finished(file.get(), test.pieces * 4096);
            }
        }
        EXPECT_EQ(openDescriptors(), before) << test.every << " " << test.pieces;
        for (std::size_t i = 0; i < test.files; ++i)
            EXPECT_EQ(fs::file_size(dir.path() / std::to_string(i)), test.pieces * 4096);
    }
}

}  // namespace

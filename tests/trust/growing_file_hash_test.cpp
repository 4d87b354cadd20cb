// Hashing a file while it is written, against coreutils' b2sum (BLAKE2b-512)
// of the finished file.

#include "trust/growing_file_hash.h"

#include "support/temp_dir.h"
#include "util/fd_io.h"
#include "util/unique_fd.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string b2sum(const fs::path& file) {
    const std::string command = "b2sum '" + file.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char hex[129] = {};
    return pipe && std::fscanf(pipe.get(), "%128s", hex) == 1 ? hex : "";
}

std::string hexOf(const gd::ContentHash& hash) {
    std::string text;
    char digits[3];
    for (const std::uint8_t byte : hash) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

struct Writing {
    const char* name;
    std::size_t pieces;
    std::size_t pieceSize;
    std::chrono::milliseconds pause;  // between pieces, and before the file appears
};

TEST(GrowingFileHash, EqualsTheHashOfTheFinishedFile) {
    const Writing writings[] = {
        {"empty", 0, 0, std::chrono::milliseconds(0)},
        {"one piece at once", 1, 100000, std::chrono::milliseconds(0)},
        {"slow small pieces", 40, 1000, std::chrono::milliseconds(3)},
        {"fast large pieces", 12, 1 << 20, std::chrono::milliseconds(0)},
        {"created late", 3, 70000, std::chrono::milliseconds(20)},
    };
    gdtest::TempDir dir;
    int index = 0;
    for (const Writing& writing : writings) {
        SCOPED_TRACE(writing.name);
        const fs::path file = dir.path() / ("f" + std::to_string(index++));
        const std::string bytes = gdtest::randomBytes(writing.pieces * writing.pieceSize, index);
        gd::GrowingFileHash follower(file);
        std::thread writer([&] {
            std::this_thread::sleep_for(writing.pause);
            gd::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
            for (std::size_t i = 0; i < writing.pieces; ++i) {
                gd::writeAll(fd.get(), bytes.data() + i * writing.pieceSize, writing.pieceSize);
                std::this_thread::sleep_for(writing.pause);
            }
        });
        writer.join();
        const auto hash = follower.finish();
        ASSERT_TRUE(hash.has_value());
        EXPECT_EQ(hexOf(*hash), b2sum(file));
    }
}

TEST(GrowingFileHash, AFileThatNeverCameHasNoHash) {
    gdtest::TempDir dir;
    gd::GrowingFileHash follower(dir.path() / "never");
    EXPECT_FALSE(follower.finish().has_value());
}

}  // namespace

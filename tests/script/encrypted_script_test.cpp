#include "script/encrypted_script.h"

#include "support/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using gdtest::TempDir;

TEST(EncryptedScript, ReadsExactlyTheFileBytes) {
    TempDir temp;
    const auto path = temp.path() / "version.dat";
    gdtest::writeEncrypted(path, "1.000000,1.000000");
    const std::string text = gd::readEncryptedFile(path, gd::kVersionFileLimit);
    EXPECT_EQ(text.size(), 17u);
    EXPECT_EQ(text, "1.000000,1.000000");
}

TEST(EncryptedScript, MissingEmptyAndNonRegularFilesReadAsNothing) {
    TempDir temp;
    EXPECT_EQ(gd::readEncryptedFile(temp.path() / "absent.dat", 4096), "");
    gdtest::writeFile(temp.path() / "config.dat", "");
    EXPECT_EQ(gd::readEncryptedFile(temp.path() / "config.dat", 4096), "");
    EXPECT_EQ(gd::readEncryptedFile(temp.path(), 4096), "");
}

TEST(EncryptedScript, FilesOverTheLimitAreRefused) {
    TempDir temp;
    const auto path = temp.path() / "version.dat";
    gdtest::writeEncrypted(path, std::string(gd::kVersionFileLimit, '1'));
    EXPECT_EQ(gd::readEncryptedFile(path, gd::kVersionFileLimit).size(), gd::kVersionFileLimit);
    gdtest::writeEncrypted(path, std::string(gd::kVersionFileLimit + 1, '1'));
    EXPECT_EQ(gd::readEncryptedFile(path, gd::kVersionFileLimit), "");
    // A file that holds more than it measured (as one that grows while it is
    // read): all of it is read, and the limit still holds.
    const std::string status = "/proc/self/status";
    ASSERT_EQ(fs::file_size(status), 0u);
    for (const std::size_t limit : {std::size_t{1} << 20, std::size_t{64}})
        EXPECT_EQ(gd::readEncryptedFile(status, limit).size() > 64, limit > 64) << limit;
}

TEST(EncryptedScript, WriteReplacesTheWholeFileWithoutTerminator) {
    TempDir temp;
    const auto path = temp.path() / "version.dat";
    gdtest::writeFile(path, std::string(100, 'x'));
    ::chmod(path.c_str(), 0640);

    ASSERT_TRUE(gd::writeEncryptedFile(path, "3.000000,1.000000"));
    EXPECT_EQ(fs::file_size(path), 17u);
    EXPECT_EQ(gdtest::readDecrypted(path), "3.000000,1.000000");
    // The replacement keeps the old file's mode and leaves no temporary behind.
    EXPECT_EQ(fs::status(path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator{}), 1);
}

// Set-id and sticky bits planted on the old file are not carried over, and
// a link is replaced rather than its target's bits taken.
TEST(EncryptedScript, WriteTakesOnlyThePermissionBitsOfARegularFile) {
    TempDir temp;
    const auto path = temp.path() / "version.dat", target = temp.path() / "target";
    const mode_t umask = ::umask(022);
    for (const auto& [old, expected] : {std::pair{04755, 0755}, {03775, 0775}, {0640, 0640}}) {
        gdtest::writeFile(path, "x");
        ::chmod(path.c_str(), static_cast<mode_t>(old));
        ASSERT_TRUE(gd::writeEncryptedFile(path, "1.000000,1.000000"));
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(expected)) << std::oct << old;
    }
    fs::remove(path);
    gdtest::writeFile(target, "x");
    ::chmod(target.c_str(), 04700);
    fs::create_symlink(target, path);
    ASSERT_TRUE(gd::writeEncryptedFile(path, "1.000000,1.000000"));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(gdtest::readFile(target), "x");
    ::umask(umask);
}

TEST(EncryptedScript, FailedWriteKeepsTheOldContent) {
    TempDir temp;
    // A directory in the way of the rename: the write must fail and leave it.
    const auto blocked = temp.path() / "version.dat";
    fs::create_directory(blocked);
    gdtest::writeFile(blocked / "keep", "k");
    EXPECT_FALSE(gd::writeEncryptedFile(blocked, "1.000000,1.000000"));
    EXPECT_EQ(gdtest::readFile(blocked / "keep"), "k");
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator{}), 1);

    EXPECT_FALSE(gd::writeEncryptedFile(temp.path() / "missing-dir" / "version.dat", "1"));
}

}  // namespace

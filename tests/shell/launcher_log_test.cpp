// The launcher's log: one line per entry whatever a server said, and only
// ever into the user's own plain file.

#include "shell/launcher_log.h"
#include "support/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>

namespace {

namespace fs = std::filesystem;

TEST(LauncherLog, EveryEntryIsOneLineWithItsControlsEscaped) {
    const gdtest::TempDir dir;
    const fs::path path = dir.path() / "state" / "launcher.log";
    gd::LauncherLog(path).write("refused: a\nstatus \x1b[2J\r\x7f\xc2\x85 \xe2\x80\xa8\n\nend\n");
    EXPECT_EQ(gdtest::readFile(path).substr(20),  // after the time
              "refused: a | status \\x1B[2J\\x0D\\x7F\\u0085 \\u2028 | end\n");
}

// Nothing is written through what stands at the log's name or folder, and
// nothing blocks.
TEST(LauncherLog, KeepsNothingButInTheUsersOwnPlainFile) {
    const gdtest::TempDir dir;
    const fs::path folder = dir.path() / "state", elsewhere = dir.path() / "elsewhere";
    const std::function<void(const fs::path&)> plants[] = {
        [&](const fs::path& log) { fs::create_symlink(elsewhere / "log", log); },
        [&](const fs::path& log) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); },
        [&](const fs::path& log) { fs::create_hard_link(elsewhere / "log", log); },
        [&](const fs::path&) {
            fs::remove_all(folder);
            fs::create_symlink(elsewhere, folder);
        },
    };
    for (const auto& plant : plants) {
        fs::remove_all(folder);
        fs::remove_all(elsewhere);
        fs::create_directories(folder);
        fs::create_directories(elsewhere);
        gdtest::writeFile(elsewhere / "log", "");
        plant(folder / "launcher.log");
        gd::LauncherLog(folder / "launcher.log").write("a line");
        EXPECT_EQ(gdtest::readFile(elsewhere / "log"), "");
        EXPECT_FALSE(fs::exists(elsewhere / "launcher.log"));
    }
}

}  // namespace

// The launcher's log: one line per entry whatever the engine or a server
// said, and only ever the user's own plain file.

#include "shell/launcher_log.h"
#include "support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(LauncherLog, EveryEntryIsOneLineWithItsControlsEscaped) {
    const gdtest::TempDir dir;
    const fs::path path = dir.path() / "state" / "launcher.log";
    {
        gd::LauncherLog log(path);
        log.write("refused: a\nstatus \x1b[2J\r\x7f\xc2\x85 \xe2\x80\xa8\n\nend\n");
    }
    const std::string text = gdtest::readFile(path);
    ASSERT_EQ(text.size() > 20 ? text.substr(20) : text,
              "refused: a | status \\x1B[2J\\x0D\\x7F\\u0085 \\u2028 | end\n");
}

// Whatever stands at the log's name or folder that is not the user's own
// keeps the log out: nothing is written through it, and nothing blocks.
TEST(LauncherLog, KeepsNothingButInTheUsersOwnPlainFile) {
    const gdtest::TempDir dir;
    const fs::path folder = dir.path() / "state", elsewhere = dir.path() / "elsewhere";
    const struct {
        const char* name;
        std::function<void(const fs::path& log)> plant;
    } cases[] = {
        {"a link", [&](const fs::path& log) { fs::create_symlink(elsewhere, log); }},
        {"a FIFO", [](const fs::path& log) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
        {"a hard link", [&](const fs::path& log) { fs::create_hard_link(elsewhere, log); }},
        {"a linked folder",
         [&](const fs::path&) {
             fs::remove_all(folder);
             fs::create_directories(dir.path() / "other");
             fs::create_symlink(dir.path() / "other", folder);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        gdtest::writeFile(elsewhere, "");
        c.plant(folder / "launcher.log");
        gd::LauncherLog(folder / "launcher.log").write("a line");
        EXPECT_EQ(gdtest::readFile(elsewhere), "");
        EXPECT_FALSE(fs::exists(dir.path() / "other" / "launcher.log"));
        fs::remove_all(dir.path() / "other");
    }
}

}  // namespace

#include "util/replace_file.h"

#include "support/temp_dir.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;
using gdtest::namesIn;

bool writeText(int fd, const std::string& text) {
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

TEST(FileReplacement, ReplacesWholeOnCommitAndLeavesNothingOtherwise) {
    gdtest::TempDir dir;
    const fs::path target = dir.path() / "version.dat";
    gdtest::writeFile(target, "old");
    {
        gd::FileReplacement abandoned(target, 0644);
        ASSERT_TRUE(abandoned);
        ASSERT_TRUE(writeText(abandoned.fd(), "never"));
    }
    EXPECT_EQ(gdtest::readFile(target), "old");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"version.dat"});

    gd::FileReplacement replacement(target, 0644);
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(writeText(replacement.fd(), "new content"));
    EXPECT_EQ(gdtest::readFile(target), "old");  // nothing shows before the commit
    ASSERT_TRUE(replacement.commit());
    EXPECT_EQ(gdtest::readFile(target), "new content");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"version.dat"});
    EXPECT_FALSE(replacement.commit());
}

TEST(FileReplacement, AWriterKilledBeforeTheCommitLeavesNoFileBehind) {
    gdtest::TempDir dir;
    const fs::path target = dir.path() / "StepTool";
    gdtest::writeFile(target, "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        gd::FileReplacement replacement(target, 0755);
        if (replacement) writeText(replacement.fd(), std::string(1 << 20, 'x'));
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(gdtest::readFile(target), "old");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"StepTool"});
}

// A writer killed between naming its file and the rename leaves a named
// sibling; the next replacement of the same target sweeps it, and leaves the
// files of live writers and of other targets alone.
TEST(FileReplacement, TheNextReplacementSweepsWhatAKilledOneLeft) {
    gdtest::TempDir dir;
    const fs::path target = dir.path() / "StepTool";
    gdtest::writeFile(target, "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);  // a pid that has surely ended
    const std::string dead = ".StepTool." + std::to_string(child) + ".3.tmp";
    const std::string live = ".StepTool." + std::to_string(::getppid()) + ".1.tmp";
    gdtest::writeFile(dir.path() / dead, "left");
    gdtest::writeFile(dir.path() / live, "busy");
    gdtest::writeFile(dir.path() / ".Other.99999999.1.tmp", "other target");

    gd::FileReplacement replacement(target, 0755);
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(writeText(replacement.fd(), "new"));
    ASSERT_TRUE(replacement.commit());
    EXPECT_EQ(namesIn(dir.path()),
              (std::set<std::string>{"StepTool", live, ".Other.99999999.1.tmp"}));
}

}  // namespace

#include "install/install_paths.h"

#include "install/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using gd::RegistryScope;

// The test main points XDG_CONFIG_HOME and XDG_CONFIG_DIRS at a private place;
// each test starts with neither key present.
class InstallPathsTest : public ::testing::Test {
  protected:
    void SetUp() override { removeKeys(); }
    void TearDown() override { removeKeys(); }

    static fs::path keyFile(RegistryScope scope) {
        const char* dir =
            std::getenv(scope == RegistryScope::System ? "XDG_CONFIG_DIRS" : "XDG_CONFIG_HOME");
        return fs::path(dir) / "GrooveDeck.conf";
    }
    static void removeKeys() {
        for (auto scope : {RegistryScope::User, RegistryScope::System}) {
            // Empty the key through the same settings cache before the file goes.
            gd::writeRegistryValue(scope, "InstallDir", "");
            fs::remove(keyFile(scope));
        }
    }
    static void set(RegistryScope scope, const char* name, const std::string& value) {
        ASSERT_TRUE(gd::writeRegistryValue(scope, name, value));
    }
    static std::optional<std::string> get(RegistryScope scope, const char* name) {
        return gd::readRegistryValue(scope, name);
    }
};

TEST_F(InstallPathsTest, LauncherDirIsTheExecutablesDirectory) {
    EXPECT_EQ(gd::launcherDirOf("/opt/GrooveDeck/GrooveDeck"), "/opt/GrooveDeck/");
    EXPECT_EQ(gd::launcherDirOf("/GrooveDeck"), "/");
    EXPECT_EQ(gd::launcherDirOf("GrooveDeck"), "");
    EXPECT_EQ(gd::launcherDirOf("/home/ユーザー/グルーヴ/GrooveDeck"), "/home/ユーザー/グルーヴ/");
    const std::string running = gd::runningExecutablePath();
    EXPECT_TRUE(fs::equivalent(running, "/proc/self/exe"));
}

TEST_F(InstallPathsTest, MatchingUserInstallDirWritesBootDir) {
    set(RegistryScope::User, "InstallDir", "/opt/グルーヴ/");
    const auto paths = gd::initInstallPaths("/opt/グルーヴ/GrooveDeck");
    EXPECT_EQ(paths.launcherDir, "/opt/グルーヴ/");
    EXPECT_EQ(get(RegistryScope::User, "BootDir"), "/opt/グルーヴ/");
    EXPECT_FALSE(fs::exists(keyFile(RegistryScope::System)));
}

TEST_F(InstallPathsTest, ComparisonIsExact) {
    set(RegistryScope::User, "InstallDir", "/opt/gd");  // no trailing slash
    gd::initInstallPaths("/opt/gd/GrooveDeck");
    EXPECT_EQ(get(RegistryScope::User, "BootDir"), std::nullopt);

    set(RegistryScope::User, "InstallDir", "/OPT/GD/");
    gd::initInstallPaths("/opt/gd/GrooveDeck");
    EXPECT_EQ(get(RegistryScope::User, "BootDir"), std::nullopt);
}

TEST_F(InstallPathsTest, SystemKeyWinsWhenItExists) {
    set(RegistryScope::System, "InstallDir", "/opt/gd/");
    set(RegistryScope::User, "InstallDir", "/home/me/gd/");
    gd::initInstallPaths("/home/me/gd/GrooveDeck");
    EXPECT_EQ(get(RegistryScope::User, "BootDir"), std::nullopt);
    EXPECT_EQ(get(RegistryScope::System, "BootDir"), std::nullopt);

    gd::initInstallPaths("/opt/gd/GrooveDeck");
    EXPECT_EQ(get(RegistryScope::System, "BootDir"), "/opt/gd/");
    EXPECT_EQ(get(RegistryScope::User, "BootDir"), std::nullopt);
}

TEST_F(InstallPathsTest, SystemKeyWithoutInstallDirDoesNotFallBack) {
    set(RegistryScope::System, "Other", "x");
    set(RegistryScope::User, "InstallDir", "/opt/gd/");
    gd::initInstallPaths("/opt/gd/GrooveDeck");
    EXPECT_EQ(get(RegistryScope::User, "BootDir"), std::nullopt);
}

TEST_F(InstallPathsTest, ToolPathsComeFromTheUsersBootDir) {
    auto table = gd::makeToolTable("/opt/gd/");
    EXPECT_EQ(table[0].kind, gd::kAvatarToolKind);

    set(RegistryScope::User, "BootDir", "/games/gd/");
    set(RegistryScope::System, "BootDir", "/elsewhere/");
    table = gd::makeToolTable("/opt/gd/");
    EXPECT_EQ(table[0].path, "/games/gd/AvatarTool");
    EXPECT_EQ(table[1].path, "/games/gd/StepTool");
    EXPECT_EQ(table[2].path, "/games/gd/WardrobeTool");

    set(RegistryScope::User, "BootDir", "/x");  // names are appended as they are
    gd::ToolEntry entry{gd::kStepToolKind, {}};
    gd::resolveToolPath(entry, "/opt/gd/");
    EXPECT_EQ(entry.path, "/xStepTool");
}

TEST_F(InstallPathsTest, ToolPathsNeverResolveAgainstTheWorkingDirectory) {
    struct Case {
        std::optional<std::string> bootDir;
        std::string launcherDir;
        std::string path;
    };
    const Case cases[] = {
        {std::nullopt, "/opt/gd/", "/opt/gd/StepTool"},
        {"", "/opt/gd/", "/opt/gd/StepTool"},
        {"tools/", "/opt/gd/", "/opt/gd/StepTool"},
        {"D:\\X\\", "/opt/gd/", "/opt/gd/StepTool"},
        {std::nullopt, "", ""},  // the launcher's folder unknown: nothing to start
        {"rel/", "", ""},
    };
    for (const Case& c : cases) {
        removeKeys();
        if (c.bootDir) set(RegistryScope::User, "BootDir", *c.bootDir);
        gd::ToolEntry entry{gd::kStepToolKind, {}};
        gd::resolveToolPath(entry, c.launcherDir);
        EXPECT_EQ(entry.path, c.path) << c.bootDir.value_or("(none)") << " " << c.launcherDir;
    }
}

}  // namespace

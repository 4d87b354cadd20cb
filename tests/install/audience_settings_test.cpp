// An installation's number and channel, kept in the user's settings per
// installation folder (the test main points XDG_CONFIG_HOME at a private
// place).

#include "install/audience_settings.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(AudienceSettings, KeptPerInstallationFolder) {
    const gdtest::TempDir root;
    // A folder name may hold what QSettings reads as separators.
    const fs::path first = root.path() / "a\\b=c";
    const fs::path copy = root.path() / "copy";
    fs::create_directories(first);
    fs::create_directories(copy);
    fs::create_directory_symlink(first, root.path() / "link");

    const auto number = gd::installationNumber(first.string() + "/");
    ASSERT_TRUE(number);
    EXPECT_TRUE(*number >= 0 && *number < 100);
    EXPECT_EQ(gd::installationNumber(first.string() + "/"), number);
    EXPECT_EQ(gd::installationNumber(first.string()), number);
    EXPECT_EQ(gd::installationNumber((root.path() / "link/").string()), number);
    EXPECT_EQ(gd::installationChannel(first.string()), "");

    // A copy elsewhere is another installation: it draws and keeps its own.
    const auto copyNumber = gd::installationNumber(copy.string() + "/");
    ASSERT_TRUE(copyNumber);
    const std::string settings = gdtest::readFile(gd::audienceSettingsFile());
    EXPECT_EQ(occurrences(settings, "Number="), 2u) << settings;
    EXPECT_EQ(gd::installationNumber(first.string() + "/"), number);

    ASSERT_TRUE(gd::setInstallationChannel(first.string() + "/", "beta"));
    EXPECT_EQ(gd::installationChannel((root.path() / "link").string()), "beta");
    EXPECT_EQ(gd::installationChannel(copy.string()), "");
    ASSERT_TRUE(gd::setInstallationChannel(first.string(), ""));
    EXPECT_EQ(gd::installationChannel(first.string()), "");
    EXPECT_EQ(gd::installationNumber(first.string()), number);
}

}  // namespace

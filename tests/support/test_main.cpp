// Every test binary starts here: the user and system registry scopes, HOME
// and the user's cache point into a private directory, so no test reads or
// writes the real home or /etc, and the numeric locale stays "C" as in the
// launcher.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    std::string root = (std::filesystem::temp_directory_path() / "gdtest-env-XXXXXX").string();
    if (::mkdtemp(root.data()) == nullptr) return 1;
    const std::filesystem::path base(root);
    std::filesystem::create_directories(base / "home" / ".config");
    std::filesystem::create_directories(base / "xdg-system");
    ::setenv("HOME", (base / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (base / "home" / ".config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (base / "home" / ".cache").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (base / "home" / ".local" / "share").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (base / "xdg-system").c_str(), 1);
    ::setenv("GDTEST_ENV_ROOT", root.c_str(), 1);
    std::setlocale(LC_NUMERIC, "C");

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    return result;
}

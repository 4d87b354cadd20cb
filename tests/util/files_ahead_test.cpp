#include "util/files_ahead.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::namesIn;
using gdtest::openDescriptors;

// Numbers taken few and many, with gaps, until a stop, and one whose name
// was taken already: every number taken is its own new file, written
// through what take() gave, and nothing else stays, open or in the folder.
TEST(FilesAhead, GivesEachNumberItsFileAndLeavesNoOther) {
    struct Case {
        std::vector<std::size_t> taken;
        std::size_t stopAfter;         // takes before stop(); all when larger
        std::size_t existing = 10000;  // a number whose file is there before
    };
    std::vector<std::size_t> many(40);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = i;
    const Case cases[] = {{{0, 1, 2}, 99}, {many, 99},     {{0, 3, 9, 10, 30, 31, 90}, 99},
                          {many, 20},      {many, 99, 12}, {{}, 0}};
    for (const Case& test : cases) {
        gdtest::TempDir dir;
        const gd::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (test.existing < 10000)
            gdtest::writeFile(dir.path() / std::to_string(test.existing), "old");
        const std::size_t before = openDescriptors();
        std::set<std::string> expected;
        if (test.existing < 10000) expected.insert(std::to_string(test.existing));
        {
            gd::FilesAhead files(folder.get(), 4);
            for (std::size_t i = 0; i < test.taken.size(); ++i) {
                if (i == test.stopAfter) files.stop();
                const std::size_t number = test.taken[i];
                const gd::UniqueFd file = files.take(number);
                EXPECT_EQ(static_cast<bool>(file), number != test.existing) << number;
                if (!file) continue;
                const std::string text = "file " + std::to_string(number);
                EXPECT_EQ(::write(file.get(), text.data(), text.size()),
                          static_cast<ssize_t>(text.size()));
                expected.insert(std::to_string(number));
            }
        }
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_EQ(namesIn(dir.path()), expected);
        for (const std::string& name : expected) {
            const std::string text = name == std::to_string(test.existing) ? "old" : "file " + name;
            EXPECT_EQ(gdtest::readFile(dir.path() / name), text);
        }
    }
}

}  // namespace

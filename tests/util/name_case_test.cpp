#include "util/name_case.h"

#include "support/temp_dir.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(NameCase, FoldsAsACaseInsensitiveFileSystem) {
    const std::pair<const char*, const char*> same[] = {
        {"Data/Motion.BIN", "data/motion.bin"},
        {"ＭＯＴＩＯＮ", "ｍｏｔｉｏｎ"},  // full-width Latin
        {"ДАННЫЕ", "данные"},              // Cyrillic, in CP932 too
        {"ΑΒΓ", "αβγ"},
        {"\x83\x5C"
         "a",
         "\x83\x5C"
         "A"},  // CP932 that is not UTF-8: ASCII only
    };
    for (const auto& [a, b] : same) EXPECT_EQ(gd::foldCase(a), gd::foldCase(b)) << a;
    EXPECT_NE(gd::foldCase("ダンス"), gd::foldCase("タンス"));
    EXPECT_NE(gd::foldCase("straße"), gd::foldCase("STRASSE"));  // no full case mapping
}

TEST(NameCase, FindsTheExactNameOrTheOnlyOneThatDiffersInCase) {
    gdtest::TempDir dir;
    for (const char* name : {"Exact.txt", "EXACT.TXT", "Lone.txt", "Twin.txt", "TWIN.txt"})
        gdtest::writeFile(dir.path() / name, name);
    const gd::UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    const struct {
        const char* asked;
        gd::NameFound found;
        const char* name;
    } rows[] = {{"Exact.txt", gd::NameFound::Exact, "Exact.txt"},
                {"lone.TXT", gd::NameFound::Folded, "Lone.txt"},
                {"twin.txt", gd::NameFound::Ambiguous, "twin.txt"},
                {"New.txt", gd::NameFound::Missing, "New.txt"}};
    for (const auto& row : rows) {
        const gd::NameMatch match = gd::findName(directory.get(), row.asked);
        EXPECT_EQ(match.found, row.found) << row.asked;
        EXPECT_EQ(match.name, row.name) << row.asked;
    }
    EXPECT_EQ(gd::findName(directory.get(), "twin.txt").matches,
              (std::vector<std::string>{"TWIN.txt", "Twin.txt"}));
}

// A run of operations reads a folder once and learns what it adds and removes.
TEST(NameCase, FolderNamesKeepUpWithWhatTheOperationsChange) {
    gdtest::TempDir dir;
    gdtest::writeFile(dir.path() / "Lone.txt", "x");
    const gd::UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    gd::FolderNames names;
    EXPECT_EQ(names.find(directory.get(), "lone.TXT").name, "Lone.txt");
    ASSERT_EQ(::mkdirat(directory.get(), "Made", 0700), 0);
    names.noteAdded(directory.get(), "Made");
    EXPECT_EQ(names.find(directory.get(), "MADE").name, "Made");
    ASSERT_EQ(::unlinkat(directory.get(), "Lone.txt", 0), 0);
    names.noteRemoved(directory.get(), "Lone.txt");
    EXPECT_EQ(names.find(directory.get(), "lone.TXT").found, gd::NameFound::Missing);
}

TEST(NameCase, AnIndexSpellsPathsAsTheyWereMadeFirst) {
    gd::CaseIndex index;
    index.add("Data/Motion.bin");
    index.add("data/SUB");
    EXPECT_EQ(index.resolve("DATA/motion.BIN"), "Data/Motion.bin");
    EXPECT_EQ(index.resolve("data/sub/New.txt"), "Data/SUB/New.txt");
    EXPECT_EQ(index.resolve("Other/x"), "Other/x");
}

}  // namespace

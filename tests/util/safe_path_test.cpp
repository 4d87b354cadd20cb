#include "util/safe_path.h"

#include "util/text_encoding.h"
#include "util/text_escape.h"

#include <gtest/gtest.h>

namespace {

TEST(SafePath, JoinsBothSeparatorsInsideTheBase) {
    EXPECT_EQ(gd::joinInside("/opt/gd/", "data\\new.bin"), "/opt/gd/data/new.bin");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "data/./sub//x"), "/opt/gd/data/sub/x");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "a\\..\\b"), "/opt/gd/b");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "5"), "/opt/gd/5");
    EXPECT_EQ(gd::joinInside("/opt/gd/", ""), "/opt/gd/");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "a/.."), "/opt/gd/");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "..data"), "/opt/gd/..data");
    // A leading separator means the base, as the original's concatenation made it.
    EXPECT_EQ(gd::joinInside("/opt/gd/", "\\data\\x"), "/opt/gd/data/x");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "/etc/passwd"), "/opt/gd/etc/passwd");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "\\\\server\\x"), "/opt/gd/server/x");
}

TEST(SafePath, RefusesEveryWayOut) {
    for (const char* escape : {"..", "../x", "..\\x", "a/../../x", "a\\..\\..\\x", "/../x",
                               "\\..\\x", "C:\\x", "c:x", "z:/x", "\\C:\\x"})
        EXPECT_EQ(gd::joinInside("/opt/gd/", escape), std::nullopt) << escape;
    EXPECT_EQ(gd::joinInside("/opt/gd/", std::string("a\0b", 3)), std::nullopt);
}

// A copy source starts in the script's folder and may climb to the
// archive's root, never beyond; a leading separator still means that folder.
TEST(SafePath, PlacesFromAFolderInsideTheBase) {
    const struct {
        const char* from;
        const char* path;
        std::optional<std::string> relative;
    } rows[] = {{"Patch", "..\\files\\a.txt", "files/a.txt"},
                {"Patch/sub", "..\\..\\a.txt", "a.txt"},
                {"Patch", "\\a.txt", "Patch/a.txt"},
                {"Patch", "..\\..\\a.txt", std::nullopt},
                {"", "../a.txt", std::nullopt}};
    for (const auto& row : rows) {
        const auto placed = gd::placeInside("/run/", row.path, row.from);
        EXPECT_EQ(placed ? std::optional(placed->relative) : std::nullopt, row.relative)
            << row.from << " " << row.path;
    }
}

TEST(SafePath, Cp932TrailBytesAreNotSeparators) {
    // "ソ" in CP932 is 0x83 0x5C: its trail byte is a backslash.
    EXPECT_EQ(gd::joinInside("/opt/gd/",
                             "\x83\x5C\x5C"
                             "a.txt"),
              "/opt/gd/ソ/a.txt");
    EXPECT_EQ(gd::joinInside("/opt/gd/", "ソ\\a.txt"), "/opt/gd/ソ/a.txt");
}

TEST(TextEncoding, Utf8StaysAndCp932IsConverted) {
    EXPECT_EQ(gd::installTextToUtf8("ダンス/衣装.txt"), "ダンス/衣装.txt");
    EXPECT_EQ(gd::installTextToUtf8("\x83\x5F\x83\x93\x83\x58"), "ダンス");
    EXPECT_EQ(gd::installTextToUtf8("\x83"), std::nullopt);  // a lone lead byte
    EXPECT_FALSE(gd::isValidUtf8("\xC0\xAF"));               // overlong "/"
    EXPECT_FALSE(gd::isValidUtf8("\xED\xA0\x80"));           // surrogate
    EXPECT_FALSE(gd::isValidUtf8("\xE3\x82"));               // cut short
    EXPECT_TRUE(gd::isValidUtf8("\xF0\x9F\x8E\xB5"));
}

// Nothing from outside ends a line or steers a terminal; CP932 text keeps
// its bytes, which are no C1 controls there.
TEST(TextEscape, EscapesEveryControlCharacter) {
    const struct {
        std::string text, kept, shown;
    } rows[] = {
        {"a\nstatus=up-to-date", "", "a\\x0Astatus=up-to-date"},
        {"\x1b[2J\r\t\x7f", "", "\\x1B[2J\\x0D\\x09\\x7F"},
        {"a\tb\x01", "\t", "a\tb\\x01"},
        {"\xc2\x9b"
         "31m \xe2\x80\xa8 \xe2\x80\xa9 é",
         "", "\\u009B31m \\u2028 \\u2029 é"},
        {"\x83\x5f\x83\x93\x83\x58\x9b", "", "\x83\x5f\x83\x93\x83\x58\x9b"},
        {std::string("nul\0here", 8), "", "nul\\x00here"},
    };
    for (const auto& row : rows) EXPECT_EQ(gd::escapeControls(row.text, row.kept), row.shown);
}

}  // namespace

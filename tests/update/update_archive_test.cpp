#include "update/update_archive.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <set>

namespace fs = std::filesystem;

namespace {

TEST(TrimEntryName, AppliesTheRulesUntilNoneFits) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\dir\\a.txt", "dir\\a.txt"},
        {"\\\\server\\share\\x", "server\\share\\x"},
        {"/etc/x", "etc/x"},
        {"..\\..\\readme.txt", "readme.txt"},
        {"../../x", "x"},
        {"a/../../x", "../x"},  // survives: the caller must refuse it
        {"..\\x", "..\\x"},
        {"..x/y", "..x/y"},
        {"a\\../b/../c", "c"},
        // "\..\" is searched before "/..\", although the latter comes first.
        {"a/..\\..\\b", "b"},
        {"ソ/../x", "x"},
        // 0x83 0x5C is one CP932 character, not a lead byte and a backslash.
        {"\x83\x5C..\\f", "\x83\x5C..\\f"},
    };
    for (const auto& [name, trimmed] : cases) EXPECT_EQ(gd::trimEntryName(name), trimmed) << name;
}

// Writes archives with minizip, for names and headers the zip program never makes.
class ZipWriter {
  public:
    explicit ZipWriter(const fs::path& path)
        : zip_(zipOpen64(path.c_str(), APPEND_STATUS_CREATE)) {}
    ~ZipWriter() { zipClose(zip_, nullptr); }

    struct Entry {
        std::string name;
        std::string data;
        bool utf8Flag = false;
        unsigned unixMode = 0;  // st_mode; nonzero makes the entry come from Unix
        unsigned long dosAttributes = 0;
        tm_zip date{30, 15, 10, 5, 6, 2021};
    };
    void add(const Entry& e) {
        open(e, false);
        zipWriteInFileInZip(zip_, e.data.data(), static_cast<unsigned>(e.data.size()));
        zipCloseFileInZip(zip_);
    }
    // An entry of already deflated (or stored) data that declares any size and CRC.
    void addRaw(const std::string& name, const std::string& deflated, uLong size, uLong crc,
                int method = Z_DEFLATED) {
        open(Entry{name, {}}, true, method);
        zipWriteInFileInZip(zip_, deflated.data(), static_cast<unsigned>(deflated.size()));
        zipCloseFileInZipRaw64(zip_, size, crc);
    }

  private:
    void open(const Entry& e, bool raw, int method = Z_DEFLATED) {
        zip_fileinfo info{e.date, 0, 0, e.unixMode ? e.unixMode << 16 : e.dosAttributes};
        zipOpenNewFileInZip4_64(zip_, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                method, Z_DEFAULT_COMPRESSION, raw, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, nullptr, 0, e.unixMode ? (3 << 8) | 30 : 20,
                                e.utf8Flag ? 1 << 11 : 0, 0);
    }
    zipFile zip_;
};

// `size` zero bytes deflated, with their CRC.
std::pair<std::string, uLong> deflatedZeros(const fs::path& scratch, std::size_t size) {
    ZipWriter(scratch).add({"z", std::string(size, '\0')});
    unzFile zip = unzOpen64(scratch.c_str());
    unz_file_info64 info{};
    unzGoToFirstFile(zip);
    unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    std::string deflated(info.compressed_size, '\0');
    int method = 0, level = 0;
    unzOpenCurrentFile2(zip, &method, &level, 1);
    unzReadCurrentFile(zip, deflated.data(), static_cast<unsigned>(deflated.size()));
    unzCloseCurrentFile(zip);
    unzClose(zip);
    return {deflated, info.crc};
}

class UnpackArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(source);
        fs::create_directories(base);
    }
    // The script's path; kFailed when the archive was refused, kUnusable when
    // its last script entry cannot be the script.
    static std::string scriptOf(const std::optional<gd::UnpackedArchive>& unpacked) {
        if (!unpacked) return kFailed;
        return unpacked->script.value_or(kUnusable);
    }
    std::string unpack(std::uintmax_t limit = gd::kArchiveExtractLimit) {
        return scriptOf(gd::UnpackArchive(archive, base, limit));
    }
    static constexpr const char* kFailed = "(refused)";
    static constexpr const char* kUnusable = "(unusable script)";
    void put(const std::string& relative, std::string_view data = "x") {
        fs::create_directories((source / relative).parent_path());
        gdtest::writeFile(source / relative, data);
    }
    // Runs Info-ZIP's zip in the source directory, adding to the archive.
    void zip(const std::string& arguments) {
        const std::string command =
            "cd '" + source.string() + "' && zip -q '" + archive.string() + "' " + arguments;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    // Every path below `root`: directories end in '/', links in '@'.
    static std::set<std::string> tree(const fs::path& root) {
        std::set<std::string> paths;
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            std::string path = fs::relative(item.path(), root).string();
            if (item.is_symlink())
                path += '@';
            else if (item.is_directory())
                path += '/';
            paths.insert(path);
        }
        return paths;
    }

    gdtest::TempDir temp;
    fs::path archive = temp.path() / "patch.zip";
    fs::path source = temp.path() / "source";
    fs::path outside = temp.path() / "outside";
    fs::path base = temp.path() / "work" / "base";
};

TEST_F(UnpackArchiveTest, FindsTheLastScriptEntry) {
    put("Patch/UPDATE.DAT");
    put("Patch/data/a.bin", "payload");
    zip("-r Patch");
    EXPECT_EQ(unpack(), "Patch/UPDATE.DAT");
    EXPECT_EQ(gdtest::readFile(base / "Patch/data/a.bin"), "payload");

    fs::remove(archive);
    put("update.dat");
    put("old/update.dat");
    zip("update.dat old/update.dat");
    EXPECT_EQ(unpack(), "old/update.dat");

    fs::remove(archive);
    put("readme.txt");
    zip("readme.txt");
    EXPECT_EQ(unpack(), kFailed);
}

TEST_F(UnpackArchiveTest, KeepsEveryEntryInsideTheBase) {
    {
        ZipWriter writer(archive);
        for (const char* name :
             {"update.dat", "..\\..\\readme.txt", "C:\\dir\\a.txt", "/etc/x", "a/../../x", "..\\x",
              "../../../../tmp/../..\\y", "..\\update.dat"})
            writer.add({name, "data"});
    }
    // The last script entry is refused, and the earlier one does not take its place.
    EXPECT_EQ(unpack(), kUnusable);
    EXPECT_EQ(tree(base.parent_path()),
              (std::set<std::string>{"base/", "base/update.dat", "base/readme.txt", "base/dir/",
                                     "base/dir/a.txt", "base/etc/", "base/etc/x"}));
}

TEST_F(UnpackArchiveTest, NeverFollowsOrCreatesLinks) {
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, source / "link");
    put("update.dat");
    zip("-y link update.dat");
    fs::remove(source / "link");
    put("link/evil.txt");
    zip("link/evil.txt");
    // A link already in the base (not from an archive) is not followed either.
    fs::create_directory_symlink(outside, base / "planted");
    ZipWriter(temp.path() / "second.zip").add({"planted/evil.txt", "x"});

    EXPECT_EQ(unpack(), "update.dat");
    EXPECT_FALSE(fs::is_symlink(base / "link"));
    EXPECT_TRUE(fs::is_regular_file(base / "link/evil.txt"));
    EXPECT_EQ(scriptOf(gd::UnpackArchive(temp.path() / "second.zip", base)), kFailed);
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(UnpackArchiveTest, DecodesNamesByTheirFlag) {
    {
        ZipWriter writer(archive);
        writer.add({"\x83\x5C\\\x83\x5C.txt", "cp932"});
        writer.add({"\x83\x5C..\\f.txt", "cp932"});
        writer.add({"データ/更新.txt", "flagged", true});
        writer.add({"ファイル.txt", "unflagged utf-8"});
        writer.add({"\x83\x5C-invalid.txt", "lies about being utf-8", true});
        writer.add({"update.dat", ""});
    }
    EXPECT_EQ(unpack(), "update.dat");
    EXPECT_EQ(tree(base),
              (std::set<std::string>{"ソ/", "ソ/ソ.txt", "ソ../", "ソ../f.txt", "データ/",
                                     "データ/更新.txt", "ファイル.txt", "update.dat"}));
}

TEST_F(UnpackArchiveTest, KeepsModesAndTimes) {
    const std::pair<const char*, unsigned> modes[] = {
        {"tool.sh", 0755}, {"plain.txt", 0644}, {"private.txt", 0600}, {"setuid", 04755}};
    for (const auto& [name, mode] : modes) {
        put(name);
        fs::permissions(source / name, static_cast<fs::perms>(mode));
        const timespec times[2] = {{1500000001, 0}, {1500000001, 0}};
        ::utimensat(AT_FDCWD, (source / name).c_str(), times, 0);
        zip(name);
    }
    {
        ZipWriter writer(temp.path() / "dos.zip");
        writer.add({"dos.txt", "x"});
        writer.add({"readonly.txt", "x", false, 0, 0x01});
        writer.add({"update.dat", ""});
    }
    put("update.dat");
    zip("update.dat");
    ASSERT_EQ(unpack(), "update.dat");
    const auto dos = gd::UnpackArchive(temp.path() / "dos.zip", base);
    ASSERT_TRUE(dos);
    const std::string at = base.string() + "/";
    EXPECT_EQ(dos->withoutPermissions,
              (std::set<std::string>{at + "dos.txt", at + "readonly.txt", at + "update.dat"}));

    struct stat status {};
    for (const auto& [name, mode] : modes) {
        ASSERT_EQ(::stat((base / name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, mode & 0777) << name;
        EXPECT_EQ(status.st_mtime, 1500000001) << name;
    }
    std::tm local{};
    local.tm_sec = 30, local.tm_min = 15, local.tm_hour = 10;
    local.tm_mday = 5, local.tm_mon = 6, local.tm_year = 2021 - 1900, local.tm_isdst = -1;
    ASSERT_EQ(::stat((base / "dos.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtime, std::mktime(&local));
    ASSERT_EQ(::stat((base / "readonly.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0222, 0u);
}

TEST_F(UnpackArchiveTest, ReplacesFilesAndMakesDirectories) {
    gdtest::writeFile(base / "dup.txt", "old");
    fs::permissions(base / "dup.txt", fs::perms::owner_read);
    {
        ZipWriter writer(archive);
        writer.add({"dup.txt", "first"});
        writer.add({"empty/", ""});
        writer.add({"dup.txt", "second"});
        writer.add({"update.dat", ""});
    }
    EXPECT_EQ(unpack(), "update.dat");
    EXPECT_EQ(gdtest::readFile(base / "dup.txt"), "second");
    EXPECT_TRUE(fs::is_directory(base / "empty"));
}

// Entries that the engine cannot or must not read are never written.
TEST_F(UnpackArchiveTest, SkipsEntriesItCannotRead) {
    put("update.dat");
    put("secret.txt", std::string(4096, 'w'));  // bzip2 makes it smaller
    for (const std::string how : {"-P password", "-Z bzip2"}) {
        fs::remove(archive);
        zip("update.dat");
        zip(how + " secret.txt");
        EXPECT_EQ(unpack(), "update.dat") << how;
        EXPECT_FALSE(fs::exists(base / "secret.txt")) << how;
    }
}

TEST_F(UnpackArchiveTest, RefusesBrokenArchives) {
    EXPECT_EQ(unpack(), kFailed);  // missing
    gdtest::writeFile(archive, "");
    EXPECT_EQ(unpack(), kFailed);
    gdtest::writeFile(archive, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    EXPECT_EQ(unpack(), kFailed);  // no entries

    std::mt19937 random(7);
    std::string bytes(5000, '\0');
    for (char& c : bytes) c = static_cast<char>('a' + random() % 26);
    gdtest::writeFile(archive, bytes);
    EXPECT_EQ(unpack(), kFailed);

    fs::remove(archive);
    put("update.dat");
    put("text.txt", bytes + bytes);
    zip("text.txt update.dat");
    const std::string good = gdtest::readFile(archive);
    for (std::size_t length : {good.size() / 2, good.size() - 30}) {
        gdtest::writeFile(archive, good.substr(0, length));
        EXPECT_EQ(unpack(), kFailed) << "truncated to " << length;
    }
    std::string damaged = good;
    damaged[2000] ^= 0x55;  // inside the deflated text
    gdtest::writeFile(archive, damaged);
    EXPECT_EQ(unpack(), kFailed);

    for (int round = 0; round < 300; ++round) {
        damaged = good;
        for (int flips = 0; flips < 4; ++flips) damaged[random() % damaged.size()] = random();
        gdtest::writeFile(archive, damaged);
        unpack(20000);
        for (const auto& path : tree(base.parent_path())) ASSERT_EQ(path.rfind("base/", 0), 0u);
        fs::remove_all(base);
        fs::create_directory(base);
    }
}

TEST_F(UnpackArchiveTest, CapsTheBytesWritten) {
    put("update.dat", "12345");
    put("big.bin", std::string(1 << 20, '\0'));
    zip("update.dat big.bin");  // refused before anything is written
    EXPECT_EQ(unpack(64 * 1024), kFailed);
    EXPECT_TRUE(fs::is_empty(base));
    EXPECT_EQ(unpack((1 << 20) + 5), "update.dat");

    // Declared sizes that lie, in both directions, fail the archive; so do
    // data that inflate past the declared size, whatever the CRC of its part,
    // data that run on after the end of their deflate stream, and stored data
    // longer than the size declared.
    const auto [bigDeflated, bigCrc] = deflatedZeros(temp.path() / "big.zip", 1 << 20);
    const auto [smallDeflated, smallCrc] = deflatedZeros(temp.path() / "small.zip", 1000);
    const std::string zeros(1000, '\0');
    for (const auto& [data, size, crc, method] :
         {std::tuple{bigDeflated, 1000ul, bigCrc, Z_DEFLATED},
          std::tuple{smallDeflated, 5000ul, smallCrc, Z_DEFLATED},
          std::tuple{bigDeflated, 1000ul, smallCrc, Z_DEFLATED},
          std::tuple{smallDeflated + "more", 1000ul, smallCrc, Z_DEFLATED},
          std::tuple{zeros + "more", 1000ul, smallCrc, 0}}) {
        fs::remove_all(base);
        fs::create_directory(base);
        {
            ZipWriter writer(archive);
            writer.addRaw("liar.bin", data, size, crc, method);
            writer.add({"update.dat", ""});
        }
        EXPECT_EQ(unpack(64 * 1024), kFailed) << size << " " << data.size();
        EXPECT_FALSE(fs::exists(base / "liar.bin"));
    }
}

}  // namespace

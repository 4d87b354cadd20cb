#include "update/patch.h"

#include "script/version_manifest.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::namesIn;
using gdtest::readFile;
using gdtest::writeFile;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

TEST(PatchTest, MkdirCreatesOnlyTheLastComponentAndAnExistingFolderIsFine) {
    gdtest::TempDir dir;
    EXPECT_EQ(gd::CPatchMkdir({dir.dir(), "data"}).Execute(), 1);
    EXPECT_TRUE(fs::is_directory(dir.path() / "data"));

    writeFile(dir.path() / "data" / "keep.txt", "kept");
    EXPECT_EQ(gd::CPatchMkdir({dir.dir(), "data"}).Execute(), 1);
    EXPECT_EQ(readFile(dir.path() / "data" / "keep.txt"), "kept");

    EXPECT_EQ(gd::CPatchMkdir({dir.dir(), "outer/inner"}).Execute(), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "outer"));
    EXPECT_EQ(gd::CPatchMkdir({dir.dir(), "data/keep.txt"}).Execute(), 0);
}

using End = gd::OperationEnd;

TEST(PatchTest, RmdirRemovesOnlyEmptyFoldersAndSkipsWhatIsGone) {
    gdtest::TempDir dir;
    fs::create_directory(dir.path() / "empty");
    fs::create_directory(dir.path() / "full");
    writeFile(dir.path() / "full" / "mine.txt", "the user's");
    writeFile(dir.path() / "file", "a file");
    const struct {
        const char* name;
        End end;
        bool remains;
    } cases[] = {{"empty", End::Done, false}, {"full", End::Done, true},
                 {"file", End::Done, true},   {"missing", End::Skipped, false},
                 {"linked", End::Done, true}, {"gone/inner", End::Skipped, false}};
    // The user's own link to a folder is that folder moved elsewhere: it stays.
    fs::create_directory_symlink(dir.path() / "full", dir.path() / "linked");
    for (const auto& c : cases) {
        EXPECT_EQ(gd::CPatchRmdir({dir.dir(), c.name}).Perform().end, c.end) << c.name;
        EXPECT_EQ(fs::exists(fs::symlink_status(dir.path() / c.name)), c.remains) << c.name;
    }
    EXPECT_EQ(readFile(dir.path() / "full" / "mine.txt"), "the user's");
}

TEST(PatchTest, DeleteRemovesFilesButNeverDirectoriesAndSkipsWhatIsGone) {
    gdtest::TempDir dir;
    fs::create_directory(dir.path() / "empty");
    writeFile(dir.path() / "old.txt", "old");
    EXPECT_EQ(gd::CPatchDelete({dir.dir(), "old.txt"}).Execute(), 1);
    EXPECT_FALSE(fs::exists(dir.path() / "old.txt"));

    const auto gone = gd::CPatchDelete({dir.dir(), "old.txt"}).Perform();
    EXPECT_EQ(gone.end, End::Skipped);
    EXPECT_EQ(gone.reason, "delete old.txt: not there");
    EXPECT_EQ(gd::CPatchDelete({dir.dir(), "gone/old.txt"}).Perform().end, End::Skipped);
    writeFile(dir.path() / "plain", "a file where a folder would be");
    EXPECT_EQ(gd::CPatchDelete({dir.dir(), "plain/old.txt"}).Perform().end, End::Skipped);
    // The user's own link to a folder is followed, and naming it removes nothing.
    fs::create_directory_symlink(dir.path() / "empty", dir.path() / "linked");
    writeFile(dir.path() / "empty" / "x.txt", "x");
    EXPECT_EQ(gd::CPatchDelete({dir.dir(), "linked/x.txt"}).Perform().end, End::Done);
    EXPECT_FALSE(fs::exists(dir.path() / "empty" / "x.txt"));
    EXPECT_EQ(gd::CPatchDelete({dir.dir(), "linked"}).Perform().end, End::Done);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "linked"));

    EXPECT_EQ(gd::CPatchDelete({dir.dir(), "empty"}).Execute(), 1);
    EXPECT_TRUE(fs::is_directory(dir.path() / "empty"));
}

TEST(PatchTest, CopyReplacesTheTargetWithTheSourcesContentAndMode) {
    gdtest::TempDir dir;
    fs::create_directory(dir.path() / "src");
    fs::create_directory(dir.path() / "dst");
    // Larger than one read so that every chunk has to arrive.
    std::string content;
    for (int i = 0; content.size() < 200 * 1024; ++i) content += std::to_string(i) + ",";
    const fs::path source = dir.path() / "src" / "tool";
    writeFile(source, content);
    ASSERT_EQ(::chmod(source.c_str(), 04755), 0);
    const fs::path target = dir.path() / "dst" / "tool";
    writeFile(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);

    // A reader of the old file (a running program) keeps its content.
    std::ifstream reader(target, std::ios::binary);
    const mode_t umask = ::umask(022);
    ASSERT_EQ(gd::CPatchCopy(source.string(), {dir.dir(), "dst/tool"}).Execute(), 1);
    ::umask(umask);

    EXPECT_EQ(readFile(target), content);
    EXPECT_EQ(modeOf(target), 0755u) << "executable stays executable, set-id bits are dropped";
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old");
    EXPECT_EQ(namesIn(dir.path() / "dst"), std::set<std::string>{"tool"});
}

TEST(PatchTest, FailedCopyLeavesTheTargetAndNoTemporaryFile) {
    gdtest::TempDir dir;
    writeFile(dir.path() / "new.bin", "new");
    writeFile(dir.path() / "old.bin", "old");
    fs::create_directory(dir.path() / "folder");
    const std::string base = dir.dir();

    EXPECT_EQ(gd::CPatchCopy(base + "missing.bin", {base, "old.bin"}).Execute(), 0);
    EXPECT_EQ(gd::CPatchCopy(base + "folder", {base, "old.bin"}).Execute(), 0);
    EXPECT_EQ(gd::CPatchCopy(base + "new.bin", {base, "folder"}).Execute(), 0);
    EXPECT_EQ(gd::CPatchCopy(base + "new.bin", {base, "nowhere/new.bin"}).Execute(), 0);

    EXPECT_EQ(readFile(dir.path() / "old.bin"), "old");
    EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
    EXPECT_TRUE(fs::is_empty(dir.path() / "folder"));
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"new.bin", "old.bin", "folder"}));
}

TEST(PatchTest, LauncherCopyOnlyRecordsTheReplacement) {
    gdtest::TempDir dir;
    writeFile(dir.path() / "GrooveDeck.new", "launcher");
    gd::VersionManifest manifest;
    gd::CPatchLuncherCopy copy(dir.dir() + "GrooveDeck.new", {dir.dir(), "GrooveDeck"}, manifest);

    EXPECT_EQ(copy.Execute(), 1);
    EXPECT_TRUE(manifest.launcherUpdatePending());
    EXPECT_EQ(manifest.launcherCopySource(), dir.dir() + "GrooveDeck.new");
    EXPECT_EQ(manifest.launcherCopyTarget(), dir.dir() + "GrooveDeck");
    EXPECT_FALSE(fs::exists(dir.path() / "GrooveDeck"));
}

// Counts its own destruction, to see who owns it.
// One queue's operations walk to the same folders one after the other: a
// folder removed and made again, spelled in another case, or of another
// base, is the folder that is there when each operation runs.
TEST(PatchQueueTest, EachOperationReachesTheFolderThatIsThereThen) {
    struct Op {
        char kind;  // m(kdir), c(opy), d(elete), r(mdir)
        const char* path;
        const char* base = "tree";  // "tree" or "other"
    };
    struct Case {
        std::vector<Op> ops;
        std::vector<std::string> files;  // what the trees hold in the end
    };
    const Case cases[] = {
        {{{'m', "d"}, {'c', "d/a"}, {'d', "d/a"}, {'r', "d"}, {'m', "d"}, {'c', "d/b"}},
         {"tree/d/b"}},
        {{{'m', "Data"}, {'c', "data/a"}, {'c', "DATA/b"}, {'c', "Data/c"}},
         {"tree/Data/a", "tree/Data/b", "tree/Data/c"}},
        {{{'m', "d"}, {'m', "d", "other"}, {'c', "d/a"}, {'c', "d/b", "other"}, {'c', "d/c"}},
         {"other/d/b", "tree/d/a", "tree/d/c"}},
    };
    for (const Case& test : cases) {
        gdtest::TempDir dir;
        fs::create_directories(dir.path() / "tree");
        fs::create_directories(dir.path() / "other");
        writeFile(dir.path() / "source", "new");
        gd::PatchQueue queue;
        for (const Op& op : test.ops) {
            const gd::TreePath path{(dir.path() / op.base).string() + "/", op.path};
            switch (op.kind) {
                case 'm':
                    queue.append(std::make_unique<gd::CPatchMkdir>(path));
                    break;
                case 'c':
                    queue.append(
                        std::make_unique<gd::CPatchCopy>((dir.path() / "source").string(), path));
                    break;
                case 'd':
                    queue.append(std::make_unique<gd::CPatchDelete>(path));
                    break;
                case 'r':
                    queue.append(std::make_unique<gd::CPatchRmdir>(path));
                    break;
            }
        }
        for (std::size_t i = 0; i < queue.size(); ++i)
            EXPECT_EQ(queue.at(i).Perform().end, End::Done) << i;
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            if (entry.is_regular_file() && entry.path().filename() != "source")
                files.push_back(entry.path().lexically_relative(dir.path()).string());
        }
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, test.files);
    }
}

class CountedPatch : public gd::CPatch {
  public:
    CountedPatch(int id, int& destroyed) : id(id), destroyed_(destroyed) {}
    ~CountedPatch() override { ++destroyed_; }
    const int id;

  private:
    int& destroyed_;
};

TEST(PatchQueueTest, TakeAllMovesInOrderAndClearingDestroys) {
    int destroyed = 0;
    gd::PatchQueue queue;
    gd::PatchQueue pending;
    queue.append(std::make_unique<CountedPatch>(1, destroyed));
    pending.append(std::make_unique<CountedPatch>(2, destroyed));
    pending.append(std::make_unique<CountedPatch>(3, destroyed));

    queue.takeAll(pending);
    EXPECT_TRUE(pending.empty());
    ASSERT_EQ(queue.size(), 3u);
    std::vector<int> ids;
    for (std::size_t i = 0; i < queue.size(); ++i)
        ids.push_back(dynamic_cast<CountedPatch&>(queue.at(i)).id);
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(destroyed, 0);

    queue.clear();
    EXPECT_EQ(destroyed, 3);
}

}  // namespace

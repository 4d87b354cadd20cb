// The publisher's commands build on, sign and stage only what they can prove
// the publisher's: whoever can write the update directory gets nothing of
// theirs signed or published by the next routine command, and every refusal
// names the file and leaves the directory as it was.

#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Result {
    int code = -1;
    std::string out, err;
};

class PublisherTrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(tmp());
        for (const char* key : {"a", "b"})
            ASSERT_EQ(run({"keygen", key_(key, ".pub"), key_(key, ".sec")}).code, 0);
        for (const char* version : {"1.0", "1.1", "1.2", "1.3"}) {
            fs::create_directories(tree(version));
            gdtest::writeFile(tree(version) / "readme.txt", version);
            gdtest::writeFile(tree(version) / "config.dat",
                              gdtest::enciphered("DUREDOR_SIGN_KEY = '" + publicKey("a") + "'\n"));
        }
    }

    fs::path tmp() const { return site_.root() / "tmp"; }
    fs::path tree(const std::string& version) const { return site_.root() / "trees" / version; }
    fs::path server() const { return site_.serverFolder("update"); }
    std::string key_(const char* name, const char* suffix) const {
        return (site_.root() / (std::string(name) + suffix)).string();
    }
    std::string publicKey(const char* name) const {
        std::istringstream lines(gdtest::readFile(key_(name, ".pub")));
        std::string key;
        std::getline(lines, key);
        std::getline(lines, key);
        return key;
    }
    static fs::path publisherData() {
        return fs::path(std::getenv("XDG_DATA_HOME")) / "groovedeck-publisher";
    }

    Result run(const std::vector<std::string>& args) {
        const fs::path out = site_.root() / "out.txt", err = site_.root() / "err.txt";
        gdtest::GdtoolRun gdtool(args, tmp(), out, err);
        const auto end = gdtool.waitFor(120s);
        return {end && end->exited ? end->code : -1, gdtool.output(), gdtool.errors()};
    }
    Result release(const std::string& from, const std::string& to, const char* key = "a",
                   std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"release", server(), tree(from),       tree(to),
                                      to,        "--sign", key_(key, ".sec")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }

    // Adds `lines` to the Lua of filelist.dat (re-enciphered, its signature
    // left as it was), and `record` to releases.txt.
    void edit(const std::string& lines, const std::string& record = {}) const {
        std::string list = gdtest::readDecrypted(server() / "filelist.dat");
        list.insert(list.find("end\n"), lines);
        gdtest::writeEncrypted(server() / "filelist.dat", list);
        if (!record.empty())
            gdtest::writeFile(server() / "releases.txt",
                              gdtest::readFile(server() / "releases.txt") + record);
    }

    gdtest::UpdateSite site_;
};

// After two signed releases, each row changes the directory (or the key) as
// someone with upload rights would, then runs the publisher's routine
// command: it must refuse, say why, and change nothing.
TEST_F(PublisherTrustTest, NothingUnprovedIsSignedOrBuiltUpon) {
    ASSERT_EQ(release("1.0", "1.1").code, 0);
    ASSERT_EQ(release("1.1", "1.2").code, 0);
    const fs::path keptServer = site_.root() / "kept-server", keptData = site_.root() / "kept-data";
    fs::copy(server(), keptServer, fs::copy_options::recursive);
    fs::create_directories(publisherData());
    fs::copy(publisherData(), keptData, fs::copy_options::recursive);
    const std::string resign = "resign";
    const auto evilZip = [this] {
        fs::copy_file(server() / "patch-1.1.zip", server() / "evil.zip");
        edit("    patch.File('x', '1.25', 'evil.zip')\n");
    };
    const struct {
        const char* name;
        bool forget;  // the publisher's record is lost (or was never kept)
        std::function<void()> tamper;
        std::vector<std::string> command;  // after the server folder
        int code;
        std::string said;
    } rows[] = {
        {"a downgrade added to the list",
         false,
         [&] { edit("    patch.File('x', '9.0', 'patch-1.1.zip')\n"); },
         {resign, "a"},
         3,
         "filelist.dat changed"},
        {"the same, no record",
         true,
         [&] { edit("    patch.File('x', '9.0', 'patch-1.1.zip')\n"); },
         {resign, "a"},
         3,
         "signature of filelist.dat refused"},
        {"an archive added and listed",
         true,
         evilZip,
         {resign, "a", "--archives"},
         3,
         "filelist.dat: signature of filelist.dat refused"},
        {"a key installations do not trust",
         false,
         [] {},
         {resign, "b"},
         3,
         "is not one that installations trust"},
        {"the same, no record", true, [] {}, {resign, "b"}, 3, "signature of filelist.dat refused"},
        {"an archive's signature broken",
         true,
         [&] { gdtest::writeFile(server() / "patch-1.1.zip.minisig", "broken"); },
         {resign, "a"},
         1,
         "patch-1.1.zip: signature of patch-1.1.zip refused"},
        {"an archive swapped",
         true,
         [&] {
             fs::copy_file(server() / "patch-1.2.zip", server() / "patch-1.1.zip",
                           fs::copy_options::overwrite_existing);
         },
         {resign, "a", "--archives"},
         3,
         "patch-1.1.zip is not the file that filelist.dat pins"},
        {"a release on an edited list and record",
         false,
         [&] {
             edit("    patch.File('x', '1.25', 'patch-1.1.zip')\n", "1.25\tpatch-1.1.zip\tx\n");
         },
         {"release"},
         3,
         "releases.txt changed"},
        {"the same, no record",
         true,
         [&] {
             edit("    patch.File('x', '1.25', 'patch-1.1.zip')\n", "1.25\tpatch-1.1.zip\tx\n");
         },
         {"release"},
         3,
         "signature of filelist.dat refused"},
        {"a FIFO in the place of the record, which nothing may wait on",
         true,
         [&] {
             fs::remove(server() / "releases.txt");
             ASSERT_EQ(::mkfifo((server() / "releases.txt").c_str(), 0644), 0);
         },
         {"release"},
         3,
         "cannot mirror the special file"},
        {"a release signed by a key installations do not trust",
         false,
         [] {},
         {"release", "b"},
         3,
         "is not one that"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(server());
        fs::copy(keptServer, server(), fs::copy_options::recursive);
        fs::remove_all(publisherData());
        if (!row.forget) fs::copy(keptData, publisherData(), fs::copy_options::recursive);
        row.tamper();
        const gdtest::Tree before = gdtest::snapshotTree(server());
        const char* key = row.command.size() > 1 ? row.command[1].c_str() : "a";
        Result result;
        if (row.command[0] == "release") {
            result = release("1.2", "1.3", key);
        } else {
            std::vector<std::string> args{row.command[0], server(), key_(key, ".sec")};
            args.insert(args.end(), row.command.begin() + 2, row.command.end());
            result = run(args);
        }
        EXPECT_EQ(result.code, row.code) << result.out << result.err;
        EXPECT_NE((result.out + result.err).find(row.said), std::string::npos)
            << result.out << result.err;
        EXPECT_EQ(gdtest::treeDifferences(before, gdtest::snapshotTree(server())), "");
    }
    // The audit reads the record too: a FIFO there is said, not waited on.
    fs::remove(server() / "releases.txt");
    ASSERT_EQ(::mkfifo((server() / "releases.txt").c_str(), 0644), 0);
    const Result audit = run({"audit", server()});
    EXPECT_NE(audit.code, 0);
    EXPECT_NE(audit.out.find("releases.txt: not a plain file"), std::string::npos) << audit.out;
}

// An unsigned server has only the publisher's record to go by.
TEST_F(PublisherTrustTest, AnUnsignedServerIsComparedWithThePublishersRecord) {
    for (const char* version : {"1.0", "1.1", "1.2", "1.3"})
        fs::remove(tree(version) / "config.dat");
    ASSERT_EQ(run({"release", server(), tree("1.0"), tree("1.1"), "1.1"}).code, 0);
    ASSERT_EQ(run({"release", server(), tree("1.1"), tree("1.2"), "1.2"}).code, 0);
    edit("    patch.File('x', '1.25', 'patch-1.1.zip')\n", "1.25\tpatch-1.1.zip\tx\n");
    const Result refused = run({"release", server(), tree("1.2"), tree("1.3"), "1.3"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.err.find("is not as gdtool last published it"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("filelist.dat changed"), std::string::npos) << refused.err;
}

}  // namespace

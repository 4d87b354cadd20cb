// gdtool release and audit: a chain of releases made from real trees, served
// by a real FTP server, and installations at every recorded version brought
// to the newest tree by `gdtool update`.

#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "support/temp_dir.h"
#include "trust/content_digest.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <lua.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using gdtest::enciphered;
using gdtest::randomBytes;

// The archives a version script lists for an installation at `installed`,
// as the original launcher read them: stock Lua 5.1 with every library, a
// `patch.File` of its own, `latest_version` and `filelist(latest)`.
std::vector<std::string> originalChain(const std::string& script, double installed) {
    struct Listed {
        double installed;
        std::vector<std::string> archives;
    } listed{installed, {}};
    lua_State* lua = luaL_newstate();
    luaL_openlibs(lua);
    lua_newtable(lua);
    lua_pushlightuserdata(lua, &listed);
    lua_pushcclosure(
        lua,
        [](lua_State* state) {
            auto* into = static_cast<Listed*>(lua_touserdata(state, lua_upvalueindex(1)));
            if (static_cast<float>(std::atof(lua_tostring(state, 2))) >
                static_cast<float>(into->installed))
                into->archives.push_back(lua_tostring(state, 3));
            return 0;
        },
        1);
    lua_setfield(lua, -2, "File");
    lua_setglobal(lua, "patch");
    const bool ran = luaL_loadbuffer(lua, script.data(), script.size(), "filelist") == 0 &&
                     lua_pcall(lua, 0, 0, 0) == 0;
    lua_getglobal(lua, "filelist");
    lua_getglobal(lua, "latest_version");
    if (!ran || lua_pcall(lua, 1, 0, 0) != 0) listed.archives = {"(the script failed)"};
    lua_close(lua);
    return listed.archives;
}

struct Node {
    bool folder = false;
    std::string bytes;
    bool exec = false;
};
// An installation tree as the test means it: path to file or folder.
using Layout = std::map<std::string, Node>;

Node file(std::string bytes, bool exec = false) {
    return {false, std::move(bytes), exec};
}
const Node kFolder{true, {}, false};

void eraseBelow(Layout& wanted, const std::string& folder) {
    std::erase_if(wanted, [&](const auto& item) {
        return item.first == folder || item.first.starts_with(folder + "/");
    });
}

void layOut(const Layout& wanted, const fs::path& root) {
    fs::create_directories(root);
    for (const auto& [path, node] : wanted) {
        if (node.folder) {
            fs::create_directories(root / path);
            continue;
        }
        fs::create_directories((root / path).parent_path());
        gdtest::writeFile(root / path, node.bytes);
        ::chmod((root / path).c_str(), node.exec ? 0755 : 0644);
    }
}

struct Result {
    int code = -1;
    std::string out, err;
};

class ReleaseTest : public ::testing::Test {
  protected:
    ReleaseTest() { fs::create_directories(tmp()); }

    fs::path tmp() const { return site_.root() / "tmp"; }
    fs::path tree(const std::string& version) const { return site_.root() / "trees" / version; }
    fs::path server() const { return site_.serverFolder("update"); }

    Result gdtool(const std::vector<std::string>& args) {
        const fs::path out = site_.root() / "out.txt", err = site_.root() / "err.txt";
        gdtest::GdtoolRun run(args, tmp(), out, err);
        const auto end = run.waitFor(120s);
        return {end && end->exited ? end->code : -1, run.output(), run.errors()};
    }

    Result release(const std::string& from, const std::string& to,
                   std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"release", server(), tree(from), tree(to), to};
        args.insert(args.end(), extra.begin(), extra.end());
        return gdtool(args);
    }

    // What gdtool keeps of the servers it published (records, kept trees).
    static fs::path publisherData() {
        return fs::path(std::getenv("XDG_DATA_HOME")) / "groovedeck-publisher";
    }
    // A server made anew, or as an older gdtool left it: nothing recorded.
    static void forgetPublished() { fs::remove_all(publisherData()); }

    std::string config(const std::string& build) const {
        return enciphered(site_.configText("update") + "-- build " + build + "\n");
    }

    gdtest::UpdateSite site_;
};

// 1.3 and 2.3 are stored as floats below their decimals, 1.1 above.
class ReleaseChainTest : public ReleaseTest {
  protected:
    ReleaseChainTest() {
        Layout wanted{{"GrooveDeck", file("#!/bin/sh\necho launcher 1\n", true)},
                      {"config.dat", file(config("1.0"))},
                      {"readme.txt", file("readme 1.0\n")},
                      {"data/motion.bin", file(randomBytes(200 * 1024, 1))},
                      {"tools/run.sh", file("#!/bin/sh\n")},
                      {"gone/sub/x.txt", file("x")},
                      {"gone/y.txt", file("y")},
                      {"turn", file("a file that becomes a folder")},
                      {"old/a.txt", file("a folder that becomes a file")}};
        add("1.0", wanted);
        wanted["readme.txt"] = file("readme 1.1\n");
        wanted["tools/run.sh"].exec = true;
        wanted["empty"] = kFolder;
        wanted["ダンス モーション/曲 1.txt"] = file("♪ 1.1");
        wanted["notes/\"quoted\" & 100%\nline.txt"] = file("quoted");
        eraseBelow(wanted, "gone");
        wanted.erase("turn");
        wanted["turn/step.txt"] = file("step");
        add("1.1", wanted);
        wanted["GrooveDeck"] = file("#!/bin/sh\necho launcher 2\n", true);
        wanted["config.dat"] = file(config("1.3"));
        wanted["data/motion.bin"] = file(randomBytes(200 * 1024, 2));
        eraseBelow(wanted, "old");
        wanted["old"] = file("now a file");
        wanted.erase("empty");
        add("1.3", wanted);
        wanted["docs/notes update.dat.txt"] = file("not the script");
        wanted["files/payload.txt"] = file("beside the archive's own files/");
        wanted.erase("readme.txt");
        wanted["empty2/inner"] = kFolder;
        // Changed a little, where a delta is far smaller than the file.
        wanted["data/motion.bin"].bytes.replace(5000, 10, "2.3 motion");
        // New, so that the delta archives are larger than the head read before them.
        wanted["data/voice.bin"] = file(randomBytes(16 * 1024, 3));
        add("2.3", wanted);
    }

    void add(const std::string& version, const Layout& wanted) {
        layOut(wanted, tree(version));
        versions_.push_back(version);
    }

    // Every release keeps its tree, so that each offers a delta archive from
    // every version before it.
    void publishChain() {
        for (std::size_t i = 1; i < versions_.size(); ++i) {
            const Result result =
                release(versions_[i - 1], versions_[i], {"--trees", site_.root() / "kept"});
            ASSERT_EQ(result.code, 0) << result.err;
        }
    }

    std::vector<std::string> versions_;
};

// Both paths of one server folder: the delta archives alone (the whole-file
// ones gone), and the chain of whole-file archives that a launcher sees
// which skips the rules, as the original does (the list without them, as a
// server's hand-written list has it).
TEST_F(ReleaseChainTest, EveryRecordedVersionUpdatesToTheNewestTreeThroughFtp) {
    // The proof works on hard links to OLD_TREE: it must never write through them.
    const gdtest::Tree trees = gdtest::snapshotTree(site_.root() / "trees");
    publishChain();
    EXPECT_EQ(gdtest::treeDifferences(trees, gdtest::snapshotTree(site_.root() / "trees")), "");
    const Result audit = gdtool({"audit", server()});
    EXPECT_EQ(audit.code, 0) << audit.out << audit.err;
    EXPECT_NE(audit.out.find(", 3 delta archives"), std::string::npos) << audit.out;
    const std::string list = gdtest::readDecrypted(server() / "filelist.dat");
    for (const char* from : {"1.0 ", "1.1 ", "1.3 "})
        EXPECT_NE(list.find(std::string("--@delta ") + from + "2.3 delta-"), std::string::npos)
            << list;
    // New files are rebuilt from zstd-coded diffs: a pack of format 2, which
    // the rule names so that launchers reading only format 1 skip it, and
    // the audit holds the rule to it.
    const auto format = list.find(" - 2\n--@bases ");
    ASSERT_NE(format, std::string::npos) << list;
    gdtest::writeEncrypted(server() / "filelist.dat", std::string(list).erase(format, 4));
    const Result understated = gdtool({"audit", server()});
    EXPECT_NE(understated.out.find("is of format 2, but filelist.dat offers it as 1"),
              std::string::npos)
        << understated.out;
    gdtest::writeEncrypted(server() / "filelist.dat", list);
    // The original launcher sees the chain alone.
    EXPECT_EQ(originalChain(list, 1.0),
              (std::vector<std::string>{"patch-1.1.zip", "patch-1.3.zip", "patch-2.3.zip"}));
    const fs::path published = site_.root() / "published";
    fs::copy(server(), published, fs::copy_options::recursive);

    const fs::path newest = tree(versions_.back());
    const std::string launcher2 = gdtest::readFile(tree("1.3") / "GrooveDeck");
    const struct {
        std::string start;
        std::string versionFile;  // none: the engine writes 1.0
        bool deltas;              // the delta archives only, else the chain only
        std::vector<int> exits;   // of successive gdtool update runs
        std::string staged;       // the version recorded with the new launcher
    } cases[] = {{"1.0", "", false, {4, 0}, "1.3"},
                 {"1.1", "1.100000,1.000000", false, {4, 0}, "1.3"},
                 {"1.3", "1.300000,1.000000", false, {0}, ""},
                 {"2.3", "2.300000,1.000000", false, {0}, ""},
                 {"1.0", "", true, {4, 0}, "2.3"},
                 {"1.1", "1.100000,1.000000", true, {4, 0}, "2.3"},
                 {"1.3", "1.300000,1.000000", true, {0}, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE("installation at " + c.start + (c.deltas ? ", delta archives" : ", chain"));
        fs::remove_all(server());
        fs::copy(published, server(), fs::copy_options::recursive);
        for (const auto& entry : fs::directory_iterator(published)) {
            const std::string name = entry.path().filename();
            if (name.starts_with(c.deltas ? "patch-" : "delta-")) fs::remove(server() / name);
        }
        if (!c.deltas) {
            std::string chain;
            for (std::size_t at = 0, end = 0; at < list.size(); at = end + 1) {
                end = list.find('\n', at);
                if (list.compare(at, 3, "--@") != 0) chain += list.substr(at, end - at + 1);
            }
            gdtest::writeEncrypted(server() / "filelist.dat", chain);
        }
        const fs::path install = site_.root() / ("install-" + c.start);
        fs::remove_all(install);
        fs::copy(tree(c.start), install, fs::copy_options::recursive);
        if (!c.versionFile.empty()) gdtest::writeEncrypted(install / "version.dat", c.versionFile);
        for (const int expected : c.exits) {
            const Result update = gdtool({"update", install});
            ASSERT_EQ(update.code, expected) << update.out << update.err;
            EXPECT_EQ(update.err.find("not using"), std::string::npos) << update.err;
            if (expected != 4) continue;
            // The new launcher waits beside the old one; lcopy renames it.
            EXPECT_EQ(gdtest::readFile(install / "GrooveDeck.new"), launcher2);
            EXPECT_EQ(gdtest::readDecrypted(install / "version.dat"), c.staged + "00000,1.000000");
            fs::rename(install / "GrooveDeck.new", install / "GrooveDeck");
        }
        EXPECT_EQ(gdtest::readDecrypted(install / "version.dat"), "2.300000,1.000000");
        fs::remove(install / "version.dat");
        EXPECT_EQ(
            gdtest::treeDifferences(gdtest::snapshotTree(newest), gdtest::snapshotTree(install)),
            "");
    }
}

// An installed file that is not the one a delta was made against, or a delta
// archive that cannot be had: the whole-file archive of the same version
// follows, and when that cannot be had either, nothing of either was placed.
// Installed files that cannot serve are found before the delta is downloaded.
TEST_F(ReleaseChainTest, ADeltaThatCannotBeUsedFallsBackToTheWholeFileArchive) {
    publishChain();
    const fs::path newest = tree(versions_.back());
    const struct {
        const char* name;
        std::function<void(const fs::path& install)> spoil;
        const char* said;
        bool wholeGone;     // the whole-file archive is missing too
        bool deltaFetched;  // the delta archive travelled whole before it failed
    } cases[] = {
        {"a base changed in place",
         [](const fs::path& install) {
             std::string bytes = gdtest::readFile(install / "data/motion.bin");
             bytes[1000] ^= 1;
             gdtest::writeFile(install / "data/motion.bin", bytes);
         },
         "the installed data/motion.bin is not the file the delta was made against", false, false},
        {"a base removed", [](const fs::path& install) { fs::remove(install / "data/motion.bin"); },
         "the installed data/motion.bin is missing or not a file", false, false},
        {"the delta archive damaged",
         [this](const fs::path&) {
             gdtest::writeFile(server() / "delta-1.3-2.3.zip",
                               gdtest::readFile(server() / "delta-1.3-2.3.zip").substr(100));
         },
         "not using delta-1.3-2.3.zip", false, true},
        {"both damaged",
         [this](const fs::path& install) {
             fs::remove(install / "data/motion.bin");
             fs::remove(server() / "patch-2.3.zip");
         },
         "the installed data/motion.bin is missing or not a file", true, false},
    };
    const fs::path published = site_.root() / "published";
    fs::copy(server(), published, fs::copy_options::recursive);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(server());
        fs::copy(published, server(), fs::copy_options::recursive);
        const fs::path install = site_.root() / "install";
        fs::remove_all(install);
        fs::copy(tree("1.3"), install, fs::copy_options::recursive);
        gdtest::writeEncrypted(install / "version.dat", "1.300000,1.000000");
        c.spoil(install);
        const gdtest::Tree before = gdtest::snapshotTree(install);
        const Result update = gdtool({"update", install});
        EXPECT_NE(update.err.find(c.said), std::string::npos) << update.err;
        const auto sizeOf = [&](const char* name) {
            std::error_code missing;
            const auto size = fs::file_size(server() / name, missing);
            return missing ? 0 : size;
        };
        const auto both = sizeOf("delta-1.3-2.3.zip") + sizeOf("patch-2.3.zip");
        const auto at = update.out.find("downloaded=");
        ASSERT_NE(at, std::string::npos) << update.out;
        EXPECT_EQ(std::stoull(update.out.substr(at + 11)) >= both, c.deltaFetched) << update.out;
        if (c.wholeGone) {
            EXPECT_EQ(update.code, 5);
            EXPECT_EQ(gdtest::treeDifferences(before, gdtest::snapshotTree(install)), "");
            continue;
        }
        EXPECT_EQ(update.code, 0) << update.err;
        fs::remove(install / "version.dat");
        EXPECT_EQ(
            gdtest::treeDifferences(gdtest::snapshotTree(newest), gdtest::snapshotTree(install)),
            "");
    }
}

class ReleaseRefusalTest : public ReleaseTest {
  protected:
    ReleaseRefusalTest() {
        layOut({{"readme.txt", file("1.0")}}, tree("1.0"));
        layOut({{"readme.txt", file("1.1")}}, tree("1.1"));
    }
};

TEST_F(ReleaseRefusalTest, RefusesAndLeavesTheServerAsItWas) {
    const struct {
        const char* name;
        std::function<void()> setUp;
        std::string version;
        std::vector<std::string> extra;
        int code;
        std::string message;
    } cases[] = {
        {"hand-written filelist.dat",
         [this] { gdtest::serveVersionScript(server(), "1.0", {"'x', 1.0, 'x.zip'"}); },
         "1.1",
         {},
         3,
         "To start a record"},
        {"not newer than the last",
         [this] { ASSERT_EQ(release("1.0", "1.1").code, 0); },
         "1.10",
         {},
         3,
         "not newer"},
        {"not newer than OLD_TREE",
         [this] { gdtest::writeEncrypted(tree("1.0") / "version.dat", "1.200000,1.000000"); },
         "1.1",
         {},
         3,
         "not newer"},
        {"recorded as another float", [] {}, "1.0000001", {}, 3, "reads back as another"},
        {"the proof fails",
         [this] { gdtest::writeFile(tree("1.1") / "C:drive.txt", "x"); },
         "1.1",
         {},
         1,
         "missing C:drive.txt"},
        {"a link in the tree",
         [this] { fs::create_symlink("/etc", tree("1.1") / "etc"); },
         "1.1",
         {},
         3,
         "symbolic link"},
        {"an unreadable key", [] {}, "1.1", {"--sign", "no-such-key"}, 3, "cannot read"},
        {"OLD_TREE is not the last release's tree",
         [this] { ASSERT_EQ(release("1.0", "1.1").code, 0); },
         "1.2",
         {},
         3,
         "is not the tree of release 1.1, the last in releases.txt; give the NEW_TREE that "
         "release was made from (an installation updated to 1.1 holds it too). OLD_TREE "
         "differs from it:\n  changed readme.txt\n"},
        {"nothing changes",
         [this] { gdtest::writeFile(tree("1.1") / "readme.txt", "1.0"); },
         "1.1",
         {},
         3,
         "changes nothing against OLD_TREE; give --allow-empty"},
        {"unsigned onto signatures",
         [this] { gdtest::writeFile(server() / "patch-1.0.zip.minisig", "x"); },
         "1.1",
         {},
         3,
         "holds signatures (patch-1.0.zip.minisig): a release without --sign"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(server());
        fs::create_directories(server());
        forgetPublished();
        c.setUp();
        fs::rename(tree("1.1"), tree(c.version));
        const gdtest::Tree before = gdtest::snapshotTree(site_.serverRoot());
        const Result result = release("1.0", c.version, c.extra);
        fs::rename(tree(c.version), tree("1.1"));
        EXPECT_EQ(result.code, c.code) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(gdtest::treeDifferences(before, gdtest::snapshotTree(site_.serverRoot())), "");
        fs::remove_all(tree("1.1") / "C:drive.txt");
        fs::remove_all(tree("1.1") / "etc");
        fs::remove_all(tree("1.0") / "version.dat");
        gdtest::writeFile(tree("1.1") / "readme.txt", "1.1");
    }
}

// What a release does with config.dat's keys: every installation takes them,
// and refuses every list signed by a key it does not trust.
TEST_F(ReleaseRefusalTest, KeepsThePublisherKeysUnlessToldOtherwise) {
    std::string keys[2];  // as Lua strings
    std::string secrets[2];
    for (int k = 0; k < 2; ++k) {
        const fs::path pub = site_.root() / ("k" + std::to_string(k) + ".pub");
        secrets[k] = site_.root() / ("k" + std::to_string(k) + ".sec");
        ASSERT_EQ(gdtool({"keygen", pub, secrets[k]}).code, 0);
        std::istringstream lines(gdtest::readFile(pub));
        std::getline(lines, keys[k]);
        std::getline(lines, keys[k]);
        keys[k] = "'" + keys[k] + "'";
    }
    const std::string one = "DUREDOR_SIGN_KEY = " + keys[0] + "\n";
    const std::string both = "DUREDOR_SIGN_KEY = {" + keys[1] + ", " + keys[0] + "}\n";
    const std::string other = "DUREDOR_SIGN_KEY = " + keys[1] + "\n";
    const struct {
        std::string before, after;  // config.dat's text; none: no config.dat
        std::vector<std::string> extra;
        int code;
        std::string message;
        int signer = 0;  // the key that signs the release, when NEW_TREE trusts keys; -1: none
    } cases[] = {
        {one, "DUREDOR_SIGN_KEY = {" + keys[0] + "}\n", {}, 0, ""},
        {"", "", {}, 0, ""},
        {one, both, {}, 3, "changes the publisher keys (DUREDOR_SIGN_KEY): "},
        {one, both, {"--change-keys"}, 0, ""},
        {one, "DUREDOR_FTP_USER = 'x'\n", {}, 3, " in NEW_TREE. Installations trust"},
        {one, "none", {}, 3, "drops the publisher keys"},
        {"none", one, {}, 3, "adds publisher keys"},
        {one, one + "error('stop')\n", {"--change-keys"}, 3, "does not run to its end: "},
        {one,
         one + "--" + std::string(4096, 'x') + "\n",
         {"--change-keys"},
         3,
         "bytes; launchers read 4096 at most"},
        {one, "DUREDOR_SIGN_KEY = 'RWQnot'\n", {"--change-keys"}, 3, "no minisign public key"},
        {"error('old')\n", one, {}, 3, "cannot be compared with it; give --change-keys"},
        // Signed by a key that installations do not trust: every one would refuse the list.
        {one, one, {}, 3, "the key ", 1},
        {one, one, {}, 3, "trusts publisher keys", -1},
        {one, both, {"--change-keys"}, 3, "installations at the last release would refuse", 1},
        {one, other, {"--change-keys"}, 3, "installations that take this release would refuse", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before + " -> " + c.after);
        fs::remove_all(server());
        fs::create_directories(server());
        forgetPublished();
        for (const auto& [version, text] : {std::pair{"1.0", c.before}, {"1.1", c.after}}) {
            fs::remove(tree(version) / "config.dat");
            if (text != "none") gdtest::writeFile(tree(version) / "config.dat", enciphered(text));
        }
        std::vector<std::string> extra = c.extra;
        if (c.signer >= 0 && c.after.find("DUREDOR_SIGN_KEY = ") == 0 &&
            c.after != "DUREDOR_SIGN_KEY = 'RWQnot'\n")
            extra.insert(extra.end(), {"--sign", secrets[c.signer]});
        const Result result = release("1.0", "1.1", extra);
        EXPECT_EQ(result.code, c.code) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(fs::exists(server() / "filelist.dat"), c.code == 0);
    }
}

// Each release records the tree it installs; the next must start from it.
TEST_F(ReleaseRefusalTest, AReleaseStartsFromTheTreeOfTheLastOne) {
    layOut({{"readme.txt", file("1.1")}, {"new.txt", file("1.2")}}, tree("1.2"));
    ASSERT_EQ(release("1.0", "1.1").code, 0);
    const std::string record = gdtest::readFile(server() / "releases.txt");
    EXPECT_NE(record.find("\n#tree 1.1 "), std::string::npos) << record;
    // A record made before digests (or by an older gdtool) takes OLD_TREE as given.
    std::string older;
    for (std::size_t at = 0, end; at < record.size(); at = end + 1) {
        end = record.find('\n', at);
        if (!record.substr(at).starts_with("#tree")) older += record.substr(at, end - at + 1);
    }
    const struct {
        const char* name;
        std::string record;  // releases.txt before the release
        bool keepListing;
        std::string from;
        int code;
        std::string said;
    } cases[] = {
        {"the listing is lost", record, false, "1.0", 3,
         "does not hold that tree, so how they differ"},
        {"no digest yet", older, false, "1.0", 0, "releases.txt recorded no tree for 1.1: "},
        {"the right base", record, true, "1.1", 0, "published patch-1.2.zip"},
    };
    const fs::path kept = site_.root() / "kept";
    fs::copy(server(), kept, fs::copy_options::recursive);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(server());
        fs::copy(kept, server(), fs::copy_options::recursive);
        forgetPublished();  // as an older gdtool left the server
        gdtest::writeFile(server() / "releases.txt", c.record);
        if (!c.keepListing) fs::remove(server() / "releases-tree.txt");
        const Result result = release(c.from, "1.2");
        EXPECT_EQ(result.code, c.code) << result.err;
        EXPECT_NE((result.out + result.err).find(c.said), std::string::npos)
            << result.out << result.err;
        if (c.code != 0) continue;
        const std::string now = gdtest::readFile(server() / "releases.txt");
        EXPECT_NE(now.find("\n#tree 1.1 "), std::string::npos) << now;
        EXPECT_NE(now.find("\n#tree 1.2 "), std::string::npos) << now;
        EXPECT_EQ(gdtool({"audit", server()}).code, 0);
    }
}

// A link planted in the update directory never takes the archive's bytes.
TEST_F(ReleaseRefusalTest, WritesNothingThroughALinkInTheUpdateDirectory) {
    const fs::path outside = site_.root() / "outside.zip";
    fs::create_symlink(outside, server() / "patch-1.1.zip");
    const Result result = release("1.0", "1.1");
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_TRUE(fs::is_symlink(server() / "patch-1.1.zip"));
    EXPECT_TRUE(fs::is_regular_file(server() / "patch-1.1-2.zip"));
}

// Signed with a key made by Debian's minisign, which then accepts what was
// published; audit finds a file changed after it was signed.
TEST_F(ReleaseRefusalTest, SignsTheArchiveAndTheListForMinisignAndAudit) {
    const fs::path pub = site_.root() / "key.pub", sec = site_.root() / "key.sec";
    ASSERT_EQ(gdtest::runShell("minisign -G -W -p " + gdtest::shellQuoted(pub) + " -s " +
                               gdtest::shellQuoted(sec) + " > /dev/null"),
              0);
    std::istringstream lines(gdtest::readFile(pub));
    std::string key;
    std::getline(lines, key);
    std::getline(lines, key);
    // The list is bound to the update folder of the trees' config.dat.
    for (const char* version : {"1.0", "1.1"})
        gdtest::writeFile(
            tree(version) / "config.dat",
            enciphered(site_.configText("update") + "DUREDOR_SIGN_KEY = '" + key + "'\n"));
    ASSERT_EQ(release("1.0", "1.1", {"--sign", sec, "--expires", "7"}).code, 0);
    const struct {
        const char* file;
        bool expires;
    } signedFiles[] = {{"patch-1.1.zip", false}, {"filelist.dat", true}};
    for (const auto& f : signedFiles) {
        const fs::path out = site_.root() / "minisign.out";
        EXPECT_EQ(gdtest::runShell("minisign -V -p " + gdtest::shellQuoted(pub) + " -m " +
                                   gdtest::shellQuoted(server() / f.file) + " > " +
                                   gdtest::shellQuoted(out)),
                  0)
            << f.file;
        const std::string said = gdtest::readFile(out);
        EXPECT_NE(said.find(std::string("file=") + f.file), std::string::npos) << said;
        EXPECT_EQ(said.find("expires=") != std::string::npos, f.expires) << said;
        EXPECT_EQ(said.find("folder=/update") != std::string::npos, f.expires) << said;
    }
    EXPECT_EQ(gdtool({"audit", server(), "--pub", pub}).code, 0);

    gdtest::writeFile(server() / "patch-1.1.zip",
                      gdtest::readFile(server() / "patch-1.1.zip") + "x");
    const Result tampered = gdtool({"audit", server(), "--pub", pub});
    EXPECT_EQ(tampered.code, 1);
    EXPECT_NE(tampered.out.find("patch-1.1.zip: signature of patch-1.1.zip refused"),
              std::string::npos)
        << tampered.out;
}

// Two products signed with one key, each released by gdtool into its own
// folder: what the other product's folder holds, signed all the same, is
// refused where it does not belong, on the whole-file and on the delta path,
// and the list by the folder it is bound to.
TEST_F(ReleaseTest, AnotherProductsSignedFilesAreRefused) {
    const fs::path pub = site_.root() / "key.pub", sec = site_.root() / "key.sec";
    ASSERT_EQ(gdtest::runShell("minisign -G -W -p " + gdtest::shellQuoted(pub) + " -s " +
                               gdtest::shellQuoted(sec) + " > /dev/null"),
              0);
    std::istringstream keyLines(gdtest::readFile(pub));
    std::string keyLine;
    std::getline(keyLines, keyLine);
    std::getline(keyLines, keyLine);
    for (const char* product : {"update", "other"}) {
        for (const char* version : {"1.0", "1.1"}) {
            layOut({{"config.dat", file(enciphered(site_.configText(product) +
                                                   "DUREDOR_SIGN_KEY = '" + keyLine + "'\n"))},
                    // Alike at 1.0, so that each delta archive fits the other's installations.
                    {"readme.txt",
                     file(std::string(version) == "1.0" ? "1.0" : std::string(product) + " 1.1")},
                    {"data/motion.bin",
                     file(randomBytes(64 * 1024, 7) +
                          (std::string(version) == "1.0" ? "" : std::string(product)))}},
                   tree(std::string(product) + version));
        }
        const Result released =
            gdtool({"release", site_.serverFolder(product), tree(std::string(product) + "1.0"),
                    tree(std::string(product) + "1.1"), "1.1", "--sign", sec});
        ASSERT_EQ(released.code, 0) << released.err;
    }
    // resign keeps the folder that release bound the list to.
    ASSERT_EQ(gdtool({"resign", server(), sec}).code, 0);
    EXPECT_NE(gdtest::readFile(server() / "filelist.dat.minisig").find(" folder=/update\n"),
              std::string::npos);
    const fs::path published = site_.root() / "published";
    fs::copy(server(), published, fs::copy_options::recursive);
    const struct {
        const char* name;
        std::vector<std::string> taken;  // of the other product's files; empty: all
        int code;
        std::string said;
        const char* version;  // the tree the installation ends at
    } cases[] = {
        // clang-format off
        {"its whole-file archive, after its delta archive", {"patch-1.1.zip", "delta-1.0-1.1.zip"}, 5,
         "signature of patch-1.1.zip refused: patch-1.1.zip is signed but is not the patch-1.1.zip "
         "that filelist.dat pins", "update1.0"},
        {"its delta archive", {"delta-1.0-1.1.zip"}, 0,
         "not using delta-1.0-1.1.zip: signature of delta-1.0-1.1.zip refused: delta-1.0-1.1.zip "
         "is signed but is not the delta-1.0-1.1.zip that filelist.dat pins", "update1.1"},
        {"its whole folder", {}, 1,
         "signature of filelist.dat refused: it is signed for the update folder /other, not for "
         "this installation's /update", "update1.0"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(server());
        fs::copy(published, server(), fs::copy_options::recursive);
        for (const auto& entry : fs::directory_iterator(site_.serverFolder("other"))) {
            const std::string name = entry.path().filename();
            const std::string signedName = name.substr(0, name.find(".minisig"));
            if (c.taken.empty() ||
                std::find(c.taken.begin(), c.taken.end(), signedName) != c.taken.end())
                fs::copy(entry.path(), server() / name, fs::copy_options::overwrite_existing);
        }
        const fs::path install = site_.root() / "install";
        fs::remove_all(install);
        fs::copy(tree("update1.0"), install, fs::copy_options::recursive);
        const Result update = gdtool({"update", install});
        EXPECT_EQ(update.code, c.code) << update.err;
        EXPECT_NE(update.err.find(c.said), std::string::npos) << update.err;
        fs::remove(install / "version.dat");
        EXPECT_EQ(gdtest::treeDifferences(gdtest::snapshotTree(tree(c.version)),
                                          gdtest::snapshotTree(install)),
                  "");
    }
}

// A server whose archives were made by hand joins a record written by hand.
TEST_F(ReleaseTest, AHandWrittenRecordTakesOverAServer) {
    const fs::path stage = site_.root() / "stage";
    fs::create_directories(stage);
    layOut({{"readme.txt", file("1.0")}}, tree("1.0"));
    layOut({{"readme.txt", file("1.1")}}, tree("1.1"));
    layOut({{"readme.txt", file("1.1")}, {"new.txt", file("1.2")}}, tree("1.2"));
    gdtest::writeFile(stage / "update.lua",
                      "function updater() update.copy('readme.txt', "
                      "'readme.txt') end");
    ASSERT_EQ(gdtest::runShell(std::string(GD_GDTOOL_PATH) + " pack " +
                               gdtest::shellQuoted(server() / "old.zip") + " " +
                               gdtest::shellQuoted(stage / "update.lua") + " " +
                               gdtest::shellQuoted(tree("1.1"))),
              0);
    const struct {
        std::string record;
        int code;
    } cases[] = {{"1.1\told.zip\thand\n1.0\tx.zip\tback\n", 3},  // out of order
                 {"1.1\tsub/old.zip\thand\n", 3},                // not a file name
                 {"# by hand\n1.1\told.zip\thand\n", 0}};
    for (const auto& c : cases) {
        gdtest::writeFile(server() / "releases.txt", c.record);
        EXPECT_EQ(release("1.1", "1.2").code, c.code) << c.record;
    }
    const Result listed = gdtool({"filelist", server() / "filelist.dat", "1.0"});
    EXPECT_NE(listed.out.find("hand\t1.100000\told.zip\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\t1.200000\tpatch-1.2.zip\n"), std::string::npos) << listed.out;
    EXPECT_EQ(gdtool({"audit", server()}).code, 0);
}

TEST_F(ReleaseTest, AuditReportsEachBrokenPromiseOnItsOwnLine) {
    const fs::path stage = site_.root() / "stage";
    fs::create_directories(stage / "nothing");
    gdtest::writeFile(stage / "copy.lua", "function updater() update.copy('absent.txt', 'a') end");
    fs::create_directories(stage / "empty");
    gdtest::writeFile(stage / "nothing/readme.txt", "no script");
    ASSERT_EQ(gdtest::runShell(std::string(GD_GDTOOL_PATH) + " pack " +
                               gdtest::shellQuoted(server() / "badcopy.zip") + " " +
                               gdtest::shellQuoted(stage / "copy.lua") + " " +
                               gdtest::shellQuoted(stage / "empty")),
              0);
    ASSERT_EQ(gdtest::runShell("/usr/bin/python3 " + gdtest::shellQuoted(GD_ARCHIVE_MAKER) +
                               " zipdir " + gdtest::shellQuoted(server() / "noscript.zip") + " " +
                               gdtest::shellQuoted(stage / "nothing")),
              0);
    gdtest::serveVersionScript(server(), "1.3",
                               {"'b', 1.1, 'noscript.zip'", "'a', 1.2, 'badcopy.zip'",
                                "'c', 1.3, 'missing.zip'", "'d', 1.3, 'pinned.zip'"});
    // The rules' promises: a delta archive that rebuilds nothing, one with
    // no whole-file archive to fall back to, a pin that another file breaks.
    fs::copy_file(server() / "badcopy.zip", server() / "nopack.zip");
    fs::copy_file(server() / "badcopy.zip", server() / "pinned.zip");
    const std::string otherDigest = gd::digestText(gd::digestOf(*gd::hashContent("another")));
    gdtest::writeEncrypted(server() / "filelist.dat",
                           gdtest::readDecrypted(server() / "filelist.dat") +
                               "--@delta 1.1 1.3 nopack.zip\n--@delta 1.0 1.25 nopack.zip\n"
                               "--@pin pinned.zip " +
                               otherDigest + "\n");

    const Result audit = gdtool({"audit", server()});
    EXPECT_EQ(audit.code, 1);
    for (const char* expected :
         {"badcopy.zip: copies absent.txt, which the archive does not hold",
          "noscript.zip: not a readable zip archive with an update.dat",
          "missing.zip: listed but not in", "nopack.zip: its delta.pack cannot be read",
          "nopack.zip: offered from 1.000000 to 1.250000, but the chain from there lists no "
          "whole-file archive",
          "pinned.zip: not the file that filelist.dat pins"})
        EXPECT_NE(audit.out.find(expected), std::string::npos) << expected << "\n" << audit.out;

    // A list in any order is taken as the engine takes it, oldest first; its
    // archives are still checked.
    gdtest::serveVersionScript(server(), "1.3",
                               {"'a', 1.2, 'badcopy.zip'", "'b', 1.1, 'noscript.zip'"});
    const Result backwards = gdtool({"audit", server()});
    EXPECT_EQ(backwards.code, 1);
    EXPECT_EQ(backwards.out.find("ファイルリスト"), std::string::npos) << backwards.out;
    EXPECT_NE(backwards.out.find("badcopy.zip: copies absent.txt"), std::string::npos);

    // What launchers accept passes: a source beside the script's folder, in
    // another case, from a script that uses debug.traceback.
    const fs::path sibling = site_.root() / "sibling";
    fs::create_directories(sibling / "Patch");
    fs::create_directories(sibling / "files");
    gdtest::writeFile(sibling / "files" / "A.TXT", "a");
    gdtest::writeFile(sibling / "Patch" / "update.dat",
                      gdtest::enciphered("function updater() xpcall(function() "
                                         "update.copy('../files/a.txt', 'a.txt') end, "
                                         "debug.traceback) end"));
    ASSERT_EQ(gdtest::runShell("/usr/bin/python3 " + gdtest::shellQuoted(GD_ARCHIVE_MAKER) +
                               " zipdir " + gdtest::shellQuoted(server() / "sibling.zip") + " " +
                               gdtest::shellQuoted(sibling)),
              0);
    gdtest::serveVersionScript(server(), "1.1", {"'s', 1.1, 'sibling.zip'"});
    const Result sound = gdtool({"audit", server()});
    EXPECT_EQ(sound.code, 0) << sound.out;
}

// The publisher's machine holds the secret key: the audit checks signatures
// before it unpacks anything, and runs scripts without io, os or loaders.
TEST_F(ReleaseTest, AuditRunsNothingItHasNotVerified) {
    for (const char* key : {"a", "b"})
        ASSERT_EQ(gdtool({"keygen", site_.root() / (std::string(key) + ".pub"),
                          site_.root() / (std::string(key) + ".sec")})
                      .code,
                  0);
    const auto pub = [this](const char* key) { return (site_.root() / key).string() + ".pub"; };
    const auto sign = [this](const char* key, const std::string& file) {
        ASSERT_EQ(gdtool({"sign", (site_.root() / key).string() + ".sec", server() / file}).code,
                  0);
    };
    const fs::path stage = site_.root() / "stage", marker = site_.root() / "marker";
    layOut({{"readme.txt", file("1.1")}}, stage / "files");
    const std::string touch = "'touch " + marker.string() + "-";
    gdtest::writeFile(stage / "evil.lua",
                      "os.execute(" + touch + "chunk') io.open('" + marker.string() +
                          "-io', 'w')\n"
                          "function updater() os.execute(" +
                          touch + "updater') update.copy('readme.txt', 'r') end\n");
    gdtest::writeFile(stage / "good.lua", "function updater() update.copy('readme.txt', 'r') end");
    for (const char* name : {"evil", "good"})
        ASSERT_EQ(gdtool({"pack", server() / (std::string(name) + ".zip"),
                          stage / (std::string(name) + ".lua"), stage / "files"})
                      .code,
                  0);
    const struct {
        const char* name;
        std::string archive;
        const char* archiveKey;  // none: unsigned
        const char* listKey;
        std::vector<std::string> pubs;
        int code;
        std::string said;
    } cases[] = {
        {"unsigned",
         "evil.zip",
         nullptr,
         "a",
         {pub("a")},
         1,
         "evil.zip: signature of evil.zip refused: there is no evil.zip.minisig; not unpacked"},
        {"a stranger's", "evil.zip", "b", "a", {pub("a")}, 1, "does not trust"},
        {"signed",
         "evil.zip",
         "a",
         "a",
         {pub("a")},
         1,
         "evil.zip: update.dat fails in its main chunk: "},
        {"no --pub", "evil.zip", nullptr, "a", {}, 1, "evil.zip: update.dat fails"},
        {"a list it cannot trust",
         "evil.zip",
         "a",
         "b",
         {pub("a")},
         1,
         "which this installation does not trust; not evaluated, so no archive was checked"},
        {"a rotation", "good.zip", "a", "b", {pub("a"), pub("b")}, 0, "ok: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gdtest::serveVersionScript(server(), "1.1", {"'x', 1.1, '" + c.archive + "'"});
        fs::remove(server() / (c.archive + ".minisig"));
        if (c.archiveKey != nullptr) sign(c.archiveKey, c.archive);
        sign(c.listKey, "filelist.dat");
        std::vector<std::string> args{"audit", server()};
        for (const std::string& key : c.pubs) args.insert(args.end(), {"--pub", key});
        const Result audit = gdtool(args);
        EXPECT_EQ(audit.code, c.code) << audit.out << audit.err;
        EXPECT_NE(audit.out.find(c.said), std::string::npos) << audit.out;
        for (const char* made : {"-chunk", "-io", "-updater"})
            EXPECT_FALSE(fs::exists(marker.string() + made)) << made;
    }
}

// Killed at any moment, a release leaves the update directory as it was or
// as the finished release makes it, and the next release goes ahead.
TEST_F(ReleaseTest, AKilledReleaseLeavesTheOldTreeOrTheNew) {
    Layout wanted;
    for (int i = 0; i < 200; ++i)
        wanted["data/" + std::to_string(i)] = file(randomBytes(32 * 1024, i));
    layOut(wanted, tree("1.0"));
    for (int i = 0; i < 200; i += 20) wanted["data/" + std::to_string(i)] = file(randomBytes(9, i));
    layOut(wanted, tree("1.1"));
    layOut(wanted, tree("1.2"));
    gdtest::writeFile(tree("1.2") / "new.txt", "1.2");
    const std::vector<std::string> describe{"--description", "same"};
    ASSERT_EQ(release("1.0", "1.1", describe).code, 0);
    const gdtest::Tree old = gdtest::snapshotTree(server());
    const fs::path done = site_.root() / "done", doneData = site_.root() / "done-data";
    fs::copy(server(), done, fs::copy_options::recursive);
    fs::copy(publisherData(), doneData, fs::copy_options::recursive);

    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(release("1.1", "1.2", describe).code, 0);
    const auto duration = std::chrono::steady_clock::now() - started;
    const gdtest::Tree fresh = gdtest::snapshotTree(server(), false);
    const std::string freshList = gdtest::readFile(server() / "filelist.dat");

    std::mt19937 random(13);
    for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE(trial);
        fs::remove_all(server());
        fs::copy(done, server(), fs::copy_options::recursive);
        forgetPublished();
        fs::copy(doneData, publisherData(), fs::copy_options::recursive);
        gdtest::GdtoolRun run(
            {"release", server(), tree("1.1"), tree("1.2"), "1.2", "--description", "same"}, tmp(),
            site_.root() / "out.txt", site_.root() / "err.txt");
        std::this_thread::sleep_for(duration * (random() % 1000) / 1000);
        run.kill();
        const bool isOld = gdtest::treeDifferences(old, gdtest::snapshotTree(server())).empty();
        const bool isNew =
            gdtest::treeDifferences(fresh, gdtest::snapshotTree(server(), false)).empty() &&
            gdtest::readFile(server() / "filelist.dat") == freshList;
        EXPECT_TRUE(isOld || isNew);
        if (!isOld) continue;
        // What the killed run left beside the update directory goes too.
        EXPECT_EQ(release("1.1", "1.2", describe).code, 0);
        for (const auto& entry : fs::directory_iterator(site_.serverRoot()))
            EXPECT_EQ(entry.path().filename(), "update");
    }
}

}  // namespace

namespace {

// Staged releases, halting and reverting as the publisher sees them: the
// list's Lua part (all a launcher of the original format reads) holds only
// what everyone gets; the rules offer the rest, under the list's signature.
TEST_F(ReleaseTest, AStagedReleaseIsOfferedByTheRulesAloneUntilEveryoneGetsIt) {
    // The bad release changes a little of a large file, which the revert
    // takes back.
    const std::string data = randomBytes(64 * 1024, 1);
    for (const char* version : {"1.0", "1.1", "1.2", "1.3"}) {
        const bool bad = std::string(version) == "1.2";
        layOut({{"readme.txt", file(version)},
                {"data.bin", file(bad ? randomBytes(100, 2) + data.substr(100) : data)}},
               tree(version));
    }
    ASSERT_EQ(release("1.0", "1.1").code, 0);
    const auto list = [this] { return gdtest::readDecrypted(server() / "filelist.dat"); };
    const auto chain = [&] { return originalChain(list(), 1.0); };
    const struct {
        const char* name;
        std::vector<std::string> command;
        int code;
        std::string said;  // in the output, or the list when the command succeeded
        std::vector<std::string> originalSees = {};
    } rows[] = {
        {"staged to a fifth",
         {"release", "1.1", "1.2", "--rollout", "20"},
         0,
         "--@stage 1.2 1.1 20 - patch-1.2.zip\n",
         {"patch-1.1.zip"}},
        {"a release that is everyone's", {"rollout", "1.1", "50"}, 3, "goes to every installation"},
        {"no such release", {"rollout", "1.5", "50"}, 3, "no release 1.5"},
        {"widened", {"rollout", "1.2", "60"}, 0, "--@stage 1.2 1.1 60 - ", {"patch-1.1.zip"}},
        {"halted", {"rollout", "1.2", "0"}, 0, "--@stage 1.2 1.1 0 - ", {"patch-1.1.zip"}},
        {"a revert to a tree that was never kept",
         {"revert", "1.3", "--to", "0.9"},
         3,
         "is not kept in"},
        {"reverted to 1.1 as 1.3",
         {"revert", "1.3", "--to", "1.1"},
         0,
         "--@bridge 1.2 1.3 patch-1.3-from-1.2.zip\n",
         {"patch-1.1.zip", "patch-1.3.zip"}},
        {"a halted release behind the revert", {"rollout", "1.2", "100"}, 3, "is behind 1.3"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args{row.command[0], server()};
        if (row.command[0] == "release") {
            args.insert(args.end(), {tree(row.command[1]), tree(row.command[2]), row.command[2]});
            args.insert(args.end(), row.command.begin() + 3, row.command.end());
        } else {
            args.insert(args.end(), row.command.begin() + 1, row.command.end());
        }
        const Result result = gdtool(args);
        EXPECT_EQ(result.code, row.code) << result.out << result.err;
        const std::string where = row.code == 0 ? list() : result.out + result.err;
        EXPECT_NE(where.find(row.said), std::string::npos) << where;
        if (row.code == 0) {
            EXPECT_EQ(chain(), row.originalSees);
        }
    }
    // The revert: those at 1.1 take a whole-file archive of nothing, those
    // who took 1.2 a delta of what it changed.
    EXPECT_LT(fs::file_size(server() / "patch-1.3.zip"), 300u);
    EXPECT_NE(list().find("--@delta 1.2 1.3 "), std::string::npos) << list();
    const Result audit = gdtool({"audit", server()});
    EXPECT_EQ(audit.code, 0) << audit.out;
    EXPECT_NE(audit.out.find("staged 1.2: 0 % of the installations (halted)"), std::string::npos)
        << audit.out;
}

}  // namespace

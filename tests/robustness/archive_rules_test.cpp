// What existing servers' archives and scripts rely on, and what an
// installation can rely on from them. Every case is an installation at 1.0
// whose `gdtool update` runs against a real FTP server offering one archive
// (1.1), made by Python's zipfile with MS-DOS host entries, as the original
// platform's tools write them, or by Info-ZIP's zip on Unix. Each ends with
// the expected exit code, error box, last report and version, with exactly
// the expected files, contents and permission bits (under a umask of 022),
// and with the folder that planted links point to as it was.

#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "script/version_manifest.h"
#include "support/temp_dir.h"
#include "update/update_worker.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::enciphered;
using namespace std::chrono_literals;

enum class Archiver { Windows, Unix };

// A file (or, with a trailing '/', a folder) and its permission bits.
struct Node {
    std::string path;
    std::string bytes;
    mode_t mode = 0644;
};

struct Result {
    int exitCode;
    std::string_view message;  // the one error box, if any
    int lastReport;
    const char* version;
};
constexpr Result kApplied{0, {}, 3, "1.100000,1.000000"};
constexpr Result kRefused{5, gd::kApplyFailedMessage, 5, "1.000000,1.000000"};
constexpr Result kLauncherUpdate{4, {}, 4, "1.100000,1.000000"};
constexpr Result kStagedFirst{4, {}, 4, "1.000000,1.000000"};

struct RuleCase {
    std::string name;
    std::string rule;
    Archiver archiver;
    std::vector<Node> entries;  // the archive's files beside update.dat
    std::string script;
    std::vector<Node> installed;     // before the run, besides config.dat and version.dat
    std::vector<std::string> links;  // installation paths that link to the outside folder
    Result result;
    std::vector<Node> after;  // what the run adds or changes
};

const Node kPayload{"x.txt", "x"};

// clang-format off
const std::vector<RuleCase> kCases = {
    // ---- archives made on the original platform carry no Unix permissions ----------------------
    {"windows_keeps_modes", "replaced files keep their bits; new ones get the default, executables 0755",
     Archiver::Windows,
     {{"StepTool", "new step"}, {"readme.txt", "new readme"}, {"AvatarTool", "avatar"},
      {"lcopy", "copier"}, {"data/new.txt", "new text"}},
     R"(function updater() update.copy("StepTool", "StepTool") update.copy("readme.txt", "readme.txt")
        update.copy("AvatarTool", "AvatarTool") update.copy("lcopy", "lcopy")
        update.copy("data\\new.txt", "data\\new.txt") end)",
     {{"StepTool", "old step", 0755}, {"readme.txt", "old readme", 0640}, {"data/", ""}}, {},
     kApplied,
     {{"StepTool", "new step", 0755}, {"readme.txt", "new readme", 0640}, {"AvatarTool", "avatar", 0755},
      {"lcopy", "copier", 0755}, {"data/new.txt", "new text", 0644}}},
    {"windows_launcher", "the staged launcher takes the launcher's bits",
     Archiver::Windows, {{"GrooveDeck", "new launcher"}}, "function updater() update.launcherupdate() end",
     {{"GrooveDeck", "launcher", 0755}}, {},
     kLauncherUpdate, {{"GrooveDeck.new", "new launcher", 0755}}},
    {"unix_modes_umask", "bits from Unix entries, less the umask, without set-id",
     Archiver::Unix,
     {{"tool", "t", 0777}, {"shared.txt", "s", 0666}, {"setid", "u", 04755}, {"private", "p", 0600}},
     R"(function updater() for _, f in ipairs({"tool", "shared.txt", "setid", "private"}) do
        update.copy(f, f) end end)",
     {}, {}, kApplied,
     {{"tool", "t", 0755}, {"shared.txt", "s", 0644}, {"setid", "u", 0755}, {"private", "p", 0600}}},
    // ---- script paths --------------------------------------------------------------------------
    {"leading_separators", "a leading separator starts at the installation's root",
     Archiver::Windows, {{"files/a.txt", "a"}, {"files/b.txt", "b"}},
     R"(function updater() update.mkdir("\\data")
        update.copy("\\files\\a.txt", "\\data\\a.txt") update.copy("files/b.txt", "/data/b.txt") end)",
     {}, {}, kApplied, {{"data/", ""}, {"data/a.txt", "a"}, {"data/b.txt", "b"}}},
    // ---- links planted in the installation are never followed ----------------------------------
    {"link_copy", "a copy through a linked folder", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("x.txt", "data\\x.txt") end)", {}, {"data"}, kRefused, {}},
    {"link_mkdir", "a folder made through a linked folder", Archiver::Unix, {kPayload},
     R"(function updater() update.mkdir("data\\sub") end)", {}, {"data"}, kRefused, {}},
    {"link_delete", "a delete through a linked folder", Archiver::Unix, {kPayload},
     R"(function updater() update.delete("data\\victim.txt") end)", {}, {"data"}, kRefused, {}},
    {"link_target", "a copy onto a link", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("x.txt", "readme.txt") end)", {}, {"readme.txt"}, kRefused, {}},
    // ---- a failed operation fails the archive; what a second run meets does not ----------------
    {"failed_copy", "a copy of a file the archive lacks", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("absent.txt", "absent.txt") update.copy("x.txt", "x.txt") end)",
     {}, {}, kRefused, {}},
    {"failed_mkdir", "a folder whose parent is missing", Archiver::Unix, {kPayload},
     R"(function updater() update.mkdir("a\\b") end)", {}, {}, kRefused, {}},
    {"run_again", "an existing folder, a deleted file, a folder named by delete", Archiver::Unix,
     {kPayload},
     R"(function updater() update.mkdir("data") update.delete("gone.txt") update.delete("data")
        update.copy("x.txt", "data\\x.txt") end)",
     {{"data/", ""}, {"data/keep.txt", "keep"}}, {}, kApplied, {{"data/x.txt", "x"}}},
    // ---- a staged launcher is never forgotten ---------------------------------------------------
    {"staged_launcher", "a staged launcher goes first", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("x.txt", "x.txt") end)",
     {{"GrooveDeck", "launcher", 0755}, {"GrooveDeck.new", "staged", 0755}}, {}, kStagedFirst, {}},
};
// clang-format on

void PrintTo(const RuleCase& c, std::ostream* out) {
    *out << c.name << ": " << c.rule;
}

void put(const fs::path& root, const Node& node) {
    const fs::path path = root / node.path;
    if (node.path.ends_with('/')) {
        fs::create_directories(path);
        return;
    }
    fs::create_directories(path.parent_path());
    gdtest::writeFile(path, node.bytes);
    ASSERT_EQ(::chmod(path.c_str(), node.mode), 0) << path;
}

class ArchiveRulesTest : public ::testing::TestWithParam<RuleCase> {
  protected:
    void SetUp() override { umask_ = ::umask(022); }
    void TearDown() override { ::umask(umask_); }

    fs::path at(const std::string& part) const { return site_.root() / part; }

    void prepare(const RuleCase& c) {
        for (const char* folder : {"install", "tmp", "stage", "outside"})
            fs::create_directories(at(folder));
        gdtest::writeFile(at("outside/victim.txt"), "victim");
        site_.writeConfig(at("install"), "update");
        gdtest::writeFile(at("install/version.dat"), enciphered("1.000000,1.000000"));
        for (const Node& node : c.installed) put(at("install"), node);
        for (const std::string& link : c.links) {
            const fs::path target = link == "readme.txt" ? at("outside/victim.txt") : at("outside");
            fs::create_symlink(target, at("install") / link);
        }

        gdtest::writeFile(at("stage/update.dat"), enciphered(c.script));
        for (const Node& node : c.entries) put(at("stage"), node);
        const fs::path archive = site_.serverFolder("update") / "rules.zip";
        const std::string command =
            c.archiver == Archiver::Windows
                ? "/usr/bin/python3 " + gdtest::shellQuoted(GD_ARCHIVE_MAKER) + " dosdir " +
                      gdtest::shellQuoted(archive) + " " + gdtest::shellQuoted(at("stage"))
                : "cd " + gdtest::shellQuoted(at("stage")) + " && zip -qrX " +
                      gdtest::shellQuoted(archive) + " .";
        ASSERT_EQ(gdtest::runShell(command), 0) << command;
        gdtest::serveVersionScript(site_.serverFolder("update"), "1.1", {"'r', 1.1, 'rules.zip'"});
    }

    gdtest::UpdateSite site_;
    mode_t umask_ = 0;
};

std::string octal(mode_t mode) {
    std::ostringstream text;
    text << std::oct << mode;
    return text.str();
}

int lastReport(const std::string& output) {
    const auto at = output.rfind("report=");
    return at == std::string::npos ? -1 : std::stoi(output.substr(at + 7));
}

TEST_P(ArchiveRulesTest, EndsAsTheRuleSays) {
    const RuleCase& c = GetParam();
    prepare(c);
    if (HasFatalFailure()) return;
    gdtest::Tree expected = gdtest::snapshotTree(at("install"));
    const gdtest::Tree outside = gdtest::snapshotTree(at("outside"));

    gdtest::GdtoolRun run({"update", at("install").string()}, at("tmp"), at("out.txt"),
                          at("err.txt"));
    const auto end = run.waitFor(60s);
    ASSERT_TRUE(end && end->exited) << "no end within 60 s";
    const std::string install = at("install").string() + "/";
    EXPECT_EQ(end->code, c.result.exitCode) << run.output() << run.errors();
    std::string errors = c.result.message.empty() ? std::string()
                                                  : "message=" + std::string(gd::kErrorCaption) +
                                                        ": " + std::string(c.result.message) + "\n";
    // A launcher left waiting is said, with how to put it in place.
    if (c.result.exitCode == 4)
        errors = "gdtool: the new launcher waits in " + install +
                 "GrooveDeck.new; the launcher puts it in place when it next starts, or gdtool "
                 "update --replace-launcher does now\n";
    EXPECT_EQ(run.errors(), errors);
    EXPECT_EQ(lastReport(run.output()), c.result.lastReport);
    if (c.result.exitCode == 4) {
        EXPECT_NE(run.output().find("launcher=" + install + "GrooveDeck.new\t" + install +
                                    "GrooveDeck\n"),
                  std::string::npos)
            << run.output();
    }

    expected["version.dat"].bytes = enciphered(c.result.version);
    for (const Node& node : c.after) {
        const std::string path =
            node.path.ends_with('/') ? node.path.substr(0, node.path.size() - 1) : node.path;
        expected[path] = node.path.ends_with('/')
                             ? gdtest::TreeNode{gdtest::TreeNode::Kind::Directory, {}, false}
                             : gdtest::TreeNode{gdtest::TreeNode::Kind::File, node.bytes,
                                                (node.mode & S_IXUSR) != 0};
    }
    EXPECT_EQ(gdtest::treeDifferences(expected, gdtest::snapshotTree(at("install"))), "");
    for (const Node& node : c.after) {
        struct stat info {};
        if (node.path.ends_with('/') || ::lstat((install + node.path).c_str(), &info) != 0)
            continue;
        EXPECT_EQ(octal(info.st_mode & 07777), octal(node.mode)) << node.path;
    }
    EXPECT_EQ(gdtest::treeDifferences(outside, gdtest::snapshotTree(at("outside"))), "");
    EXPECT_TRUE(fs::is_empty(at("tmp")));
}

INSTANTIATE_TEST_SUITE_P(Cases, ArchiveRulesTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace

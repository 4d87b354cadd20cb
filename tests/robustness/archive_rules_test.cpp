// What existing servers' archives and scripts rely on, and what an
// installation can rely on from them. Every case is an installation at 1.0
// whose `gdtool update` runs against a real FTP server offering one archive
// (1.1), made by Python's zipfile with MS-DOS host entries, as the original
// platform's tools write them, or by Info-ZIP's zip on Unix. Each ends with
// the expected exit code, error box, last report and version, with exactly
// the expected files, contents and permission bits (under a umask of 022),
// with exactly the expected lines on stderr (the refusal before the error
// box, the skipped operations after the last report), and with the folder
// that links point to as the case says.

#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "script/version_manifest.h"
#include "support/temp_dir.h"
#include "update/disk_budget.h"
#include "update/update_worker.h"

#include <sys/stat.h>
#include <unistd.h>

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

// Windows: Python's zipfile, MS-DOS host entries; ZeroBits: Python's zipfile,
// Unix host entries whose permission bits are all zero, without (ZeroBits) or
// with (RegularZeroBits) the file type; Unix: Info-ZIP.
enum class Archiver { Windows, ZeroBits, RegularZeroBits, Unix };

// Who owns the links of a case and the folder they lead to; the stranger's
// cases need root to hand them over. StrangersLinkOnTheWay: the user's own
// link leads to the user's folder through a link of the stranger's.
enum class Owner { Own, StrangersLink, StrangersFolder, StrangersLinkOnTheWay };
constexpr uid_t kStranger = 54321;

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
    // The stderr lines before the box, or without one ("gdtool: " left out;
    // {outside} stands for the outside folder).
    std::vector<std::string> said = {};
    std::vector<std::string> gone = {};   // what the run removes
    std::vector<Node> outsideAfter = {};  // what it adds there through a followed link
    Owner owner = Owner::Own;
    std::string scriptFolder = {};  // where update.dat lies in the archive
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
    {"zero_bits_keep_modes", "Unix entries whose bits are all zero count as without permissions",
     Archiver::ZeroBits, {{"StepTool", "new step"}, {"notes.txt", "notes"}},
     R"(function updater() update.copy("StepTool", "StepTool") update.copy("notes.txt", "notes.txt") end)",
     {{"StepTool", "old step", 0755}}, {}, kApplied,
     {{"StepTool", "new step", 0755}, {"notes.txt", "notes", 0644}}},
    {"regular_zero_bits_keep_modes", "so do those of a regular file, copied or moved into place",
     Archiver::RegularZeroBits, {{"StepTool", "new step"}, {"bin/AvatarTool", "avatar"}},
     R"(function updater() update.copy("StepTool", "StepTool") update.copy("StepTool", "step.bak")
        update.copy("bin\\AvatarTool", "AvatarTool") end)",
     {{"StepTool", "old step", 0755}, {"step.bak", "old", 0640}, {"AvatarTool", "old", 0750}}, {},
     kApplied,
     {{"StepTool", "new step", 0755}, {"step.bak", "new step", 0640}, {"AvatarTool", "avatar", 0750}}},
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
    {"sibling_source", "a source beside the script's folder, up to the archive's root",
     Archiver::Windows, {{"files/a.txt", "a"}},
     R"(function updater() update.copy("..\\files\\a.txt", "a.txt") end)",
     {}, {}, kApplied, {{"a.txt", "a"}}, {}, {}, {}, Owner::Own, "Patch"},
    // ---- names match as on a case-insensitive file system --------------------------------------
    {"case_entries_and_paths", "entries, sources and targets that differ in case only are one",
     Archiver::Windows, {{"Data/Motion.bin", "new motion"}, {"data/Extra.bin", "extra"}},
     R"(function updater() update.mkdir("DATA") update.copy("DATA\\MOTION.BIN", "data\\motion.bin")
        update.copy("data\\extra.bin", "DATA\\Extra.bin") update.delete("DATA\\OLD.BIN")
        update.mkdir("data\\New") update.copy("data\\extra.bin", "DATA\\NEW\\Extra.bin") end)",
     {{"Data/", ""}, {"Data/Motion.bin", "old motion", 0600}, {"Data/Old.bin", "old"}}, {},
     kApplied,
     {{"Data/Motion.bin", "new motion", 0600}, {"Data/Extra.bin", "extra"}, {"Data/New/", ""},
      {"Data/New/Extra.bin", "extra"}},
     {}, {"Data/Old.bin"}},
    {"case_beyond_ascii", "full-width Latin and Cyrillic letters match across case",
     Archiver::Unix, {kPayload},
     R"(function updater() update.copy("x.txt", "ДАННЫЕ\\ＭＯＴＩＯＮ.BIN") end)",
     {{"данные/", ""}, {"данные/ｍｏｔｉｏｎ.bin", "old"}}, {}, kApplied,
     {{"данные/ｍｏｔｉｏｎ.bin", "x"}}},
    {"case_exact_wins", "of two names that differ in case only, the exact one is used",
     Archiver::Unix, {kPayload}, R"(function updater() update.copy("x.txt", "Dup.txt") end)",
     {{"Dup.txt", "a"}, {"DUP.TXT", "b"}}, {}, kApplied, {{"Dup.txt", "x"}}},
    {"case_ambiguous", "of two names that differ in case only, neither is guessed",
     Archiver::Unix, {kPayload}, R"(function updater() update.copy("x.txt", "dup.txt") end)",
     {{"Dup.txt", "a"}, {"DUP.TXT", "b"}}, {}, kRefused, {},
     {"copy x.txt to dup.txt: dup.txt: could be any of DUP.TXT, Dup.txt, which differ in case only"}},
    // ---- links: the user's own to a folder are followed, others never --------------------------
    {"own_link", "the user's link to the user's folder (moved to another disk)", Archiver::Unix,
     {kPayload},
     R"(function updater() update.mkdir("data") update.mkdir("data\\sub")
        update.copy("x.txt", "data\\sub\\x.txt") update.delete("data") end)",
     {}, {"data"}, kApplied, {}, {}, {}, {{"sub/", ""}, {"sub/x.txt", "x"}}},
    {"link_copy", "a copy through a stranger's link", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("x.txt", "data\\x.txt") end)", {}, {"data"}, kRefused, {},
     {"copy x.txt to data/x.txt: data: a symbolic link owned by uid 54321, neither by this user nor by root"},
     {}, {}, Owner::StrangersLink},
    {"link_mkdir", "a folder made through a stranger's link", Archiver::Unix, {kPayload},
     R"(function updater() update.mkdir("data\\sub") end)", {}, {"data"}, kRefused, {},
     {"mkdir data/sub: data: a symbolic link owned by uid 54321, neither by this user nor by root"},
     {}, {}, Owner::StrangersLink},
    {"link_delete", "a delete through a link to a stranger's folder", Archiver::Unix, {kPayload},
     R"(function updater() update.delete("data\\victim.txt") end)", {}, {"data"}, kRefused, {},
     {"delete data/victim.txt: data: a symbolic link to {outside}, a folder owned by uid 54321, "
      "not by this user"},
     {}, {}, Owner::StrangersFolder},
    {"link_on_the_way", "a copy through the user's link whose target passes a stranger's link",
     Archiver::Unix, {kPayload}, R"(function updater() update.copy("x.txt", "data\\x.txt") end)", {},
     {"data"}, kRefused, {},
     {"copy x.txt to data/x.txt: data: a symbolic link to {outside}/hop, which leads through "
      "{outside}/hop, a symbolic link owned by uid 54321, neither by this user nor by root"},
     {}, {}, Owner::StrangersLinkOnTheWay},
    {"link_target", "a copy onto a link", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("x.txt", "readme.txt") end)", {}, {"readme.txt"}, kRefused, {},
     {"copy x.txt to readme.txt: it is a symbolic link to {outside}/victim.txt, which is no folder "
      "(Not a directory)"}},
    // ---- a script's mistakes are skipped and said; the rest of the archive applies -------------
    {"failed_copy", "a copy of a file the archive lacks", Archiver::Unix, {kPayload},
     R"(function updater() update.copy("absent.txt", "absent.txt") update.copy("x.txt", "x.txt") end)",
     {}, {}, kApplied, {{"x.txt", "x"}},
     {"skipped copy absent.txt to absent.txt: the archive holds no absent.txt"}},
    {"failed_mkdir", "a folder whose parent is missing", Archiver::Unix, {kPayload},
     R"(function updater() update.mkdir("a\\b") end)", {}, {}, kApplied, {},
     {"skipped mkdir a/b: a: no such folder"}},
    {"copy_before_mkdir", "a copy into a folder made after it", Archiver::Windows, {kPayload},
     R"(function updater() update.copy("x.txt", "data\\x.txt") update.mkdir("data") end)",
     {}, {}, kApplied, {{"data/", ""}}, {"skipped copy x.txt to data/x.txt: data: no such folder"}},
    {"run_again", "an existing folder, a deleted file, a folder named by delete", Archiver::Unix,
     {kPayload},
     R"(function updater() update.mkdir("data") update.delete("gone.txt") update.delete("data")
        update.copy("x.txt", "data\\x.txt") end)",
     {{"data/", ""}, {"data/keep.txt", "keep"}}, {}, kApplied, {{"data/x.txt", "x"}},
     {"skipped delete gone.txt: not there"}},
    {"launcher_missing", "a launcher update without a launcher in the archive", Archiver::Unix,
     {kPayload}, "function updater() update.launcherupdate() update.copy('x.txt', 'x.txt') end",
     {{"GrooveDeck", "launcher", 0755}}, {}, kApplied, {{"x.txt", "x"}},
     {"skipped copy GrooveDeck to GrooveDeck.new: the archive holds no GrooveDeck"}},
    // ---- update.dat may run for minutes --------------------------------------------------------
    {"slow_script", "update.dat runs a program for longer than filelist.dat may take",
     Archiver::Unix, {kPayload},
     R"(function updater() os.execute("sleep 10.5") update.copy("x.txt", "x.txt") end)",
     {}, {}, kApplied, {{"x.txt", "x"}}},
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
            fs::path target = link == "readme.txt" ? at("outside/victim.txt") : at("outside");
            if (c.owner == Owner::StrangersLinkOnTheWay) {
                fs::create_directories(at("outside/real"));
                fs::create_symlink(at("outside/real"), at("outside/hop"));
                ASSERT_EQ(::lchown(at("outside/hop").c_str(), kStranger, kStranger), 0);
                target = at("outside/hop");
            }
            fs::create_symlink(target, at("install") / link);
            if (c.owner == Owner::StrangersLink) {
                ASSERT_EQ(::lchown((at("install") / link).c_str(), kStranger, kStranger), 0);
            }
        }
        if (c.owner == Owner::StrangersFolder) {
            ASSERT_EQ(::chown(at("outside").c_str(), kStranger, kStranger), 0);
        }

        fs::create_directories(at("stage") / c.scriptFolder);
        gdtest::writeFile(at("stage") / c.scriptFolder / "update.dat", enciphered(c.script));
        for (const Node& node : c.entries) put(at("stage"), node);
        const fs::path archive = site_.serverFolder("update") / "rules.zip";
        const auto python = [&](const char* maker) {
            return "/usr/bin/python3 " + gdtest::shellQuoted(GD_ARCHIVE_MAKER) + " " + maker + " " +
                   gdtest::shellQuoted(archive) + " " + gdtest::shellQuoted(at("stage"));
        };
        const std::string infoZip = "cd " + gdtest::shellQuoted(at("stage")) + " && zip -qrX " +
                                    gdtest::shellQuoted(archive) + " .";
        const std::string command = c.archiver == Archiver::Windows           ? python("dosdir")
                                    : c.archiver == Archiver::ZeroBits        ? python("zerodir")
                                    : c.archiver == Archiver::RegularZeroBits ? python("zeroregdir")
                                                                              : infoZip;
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

void addNodes(gdtest::Tree& tree, const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        const std::string path =
            node.path.ends_with('/') ? node.path.substr(0, node.path.size() - 1) : node.path;
        tree[path] = node.path.ends_with('/')
                         ? gdtest::TreeNode{gdtest::TreeNode::Kind::Directory, {}, false}
                         : gdtest::TreeNode{gdtest::TreeNode::Kind::File, node.bytes,
                                            (node.mode & S_IXUSR) != 0};
    }
}

// The stderr of a run: what was said before the box, and the box.
std::string expectedErrors(const RuleCase& c, const std::string& outside) {
    std::string text;
    for (std::string line : c.said) {
        for (auto at = line.find("{outside}"); at != std::string::npos; at = line.find("{outside}"))
            line.replace(at, 9, outside);
        text += "gdtool: " + line + "\n";
    }
    if (!c.result.message.empty())
        text += "message=" + std::string(gd::kErrorCaption) + ": " + std::string(c.result.message) +
                "\n";
    return text;
}

TEST_P(ArchiveRulesTest, EndsAsTheRuleSays) {
    const RuleCase& c = GetParam();
    if (c.owner != Owner::Own && ::geteuid() != 0)
        GTEST_SKIP() << "handing a link or folder to another user needs root";
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
    std::string errors = expectedErrors(c, at("outside").string());
    // A launcher left waiting is said, with how to put it in place.
    if (c.result.exitCode == 4)
        errors += "gdtool: the new launcher waits in " + install +
                  "GrooveDeck.new; the launcher puts it in place when it next starts, or gdtool "
                  "update --replace-launcher does now\n";
    EXPECT_EQ(run.errors(), errors);
    EXPECT_EQ(gdtest::lastReportCode(run.output()), c.result.lastReport);
    if (c.result.exitCode == 4) {
        EXPECT_NE(run.output().find("launcher=" + install + "GrooveDeck.new\t" + install +
                                    "GrooveDeck\n"),
                  std::string::npos)
            << run.output();
    }

    expected["version.dat"].bytes = enciphered(c.result.version);
    addNodes(expected, c.after);
    for (const std::string& path : c.gone) expected.erase(path);
    EXPECT_EQ(gdtest::treeDifferences(expected, gdtest::snapshotTree(at("install"))), "");
    for (const Node& node : c.after) {
        struct stat info {};
        if (node.path.ends_with('/') || ::lstat((install + node.path).c_str(), &info) != 0)
            continue;
        EXPECT_EQ(octal(info.st_mode & 07777), octal(node.mode)) << node.path;
    }
    gdtest::Tree outsideExpected = outside;
    addNodes(outsideExpected, c.outsideAfter);
    EXPECT_EQ(gdtest::treeDifferences(outsideExpected, gdtest::snapshotTree(at("outside"))), "");
    EXPECT_TRUE(fs::is_empty(at("tmp")));
}

INSTANTIATE_TEST_SUITE_P(Cases, ArchiveRulesTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// A run's room follows the free space of its folder's file system, less a
// reserve: on a small one (a tmpfs in a mount namespace of the run's own) an
// archive that unpacks to more than is left is refused before it is written,
// where a fixed budget would have let it fill the disk; one that fits applies.
TEST(RunDiskRoom, FollowsTheFreeSpaceOfTheRunsFileSystem) {
    if (gdtest::runShell("unshare -rm true 2>/dev/null") != 0)
        GTEST_SKIP() << "no mount namespace for a small file system here";
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const struct {
        std::uint64_t zeros;
        Result result;
    } rows[] = {{48 * kMiB, {5, gd::kUnpackFailedMessage, 5, "1.000000,1.000000"}},
                {16 * kMiB, kApplied}};
    for (const auto& row : rows) {
        gdtest::UpdateSite site;
        const fs::path install = site.root() / "install";
        const fs::path stage = site.root() / "stage";
        const fs::path small = site.root() / "small";
        for (const fs::path& folder : {install, stage, small}) fs::create_directories(folder);
        site.writeConfig(install, "update");
        gdtest::writeFile(install / "version.dat", enciphered("1.000000,1.000000"));
        gdtest::writeFile(stage / "update.dat",
                          enciphered("function updater() update.copy('zeros', 'zeros') end"));
        gdtest::writeFile(stage / "zeros", std::string(row.zeros, '\0'));
        const fs::path archive = site.serverFolder("update") / "zeros.zip";
        ASSERT_EQ(gdtest::runShell("cd " + gdtest::shellQuoted(stage) + " && zip -qrX " +
                                   gdtest::shellQuoted(archive) + " ."),
                  0);
        gdtest::serveVersionScript(site.serverFolder("update"), "1.1", {"'z', 1.1, 'zeros.zip'"});

        const std::string size = std::to_string((gd::kDiskReserve + 32 * kMiB) / 1024) + "k";
        const std::string command =
            "unshare -rm sh -c 'mount -t tmpfs -o size=" + size +
            " none \"$0\" && TMPDIR=\"$0\" "
            "exec \"$1\" update \"$2\"' " +
            gdtest::shellQuoted(small) + " " + gdtest::shellQuoted(GD_GDTOOL_PATH) + " " +
            gdtest::shellQuoted(install) + " > " + gdtest::shellQuoted(site.root() / "out.txt") +
            " 2> " + gdtest::shellQuoted(site.root() / "err.txt");
        EXPECT_EQ(gdtest::runShell(command), row.result.exitCode) << row.zeros;
        // Which archive and why (the room it would take), then the box.
        const std::string errors = gdtest::readFile(site.root() / "err.txt");
        const std::string why = "gdtool: zeros.zip cannot be unpacked: its files would take more";
        EXPECT_TRUE(row.result.message.empty()
                        ? errors.empty()
                        : errors.starts_with(why) &&
                              errors.ends_with("\nmessage=" + std::string(gd::kErrorCaption) +
                                               ": " + std::string(row.result.message) + "\n"))
            << row.zeros << ": " << errors;
        EXPECT_EQ(gdtest::readDecrypted(install / "version.dat"), row.result.version);
        EXPECT_EQ(fs::exists(install / "zeros"), row.result.exitCode == 0) << row.zeros;
    }
}

// The download cache keeps the same reserve on its own file system (a small
// tmpfs here): a download that fails after every byte arrived (the server
// sends more than it announced) keeps no more of it than leaves that free.
TEST(RunDiskRoom, TheDownloadCacheKeepsTheReserveOnItsOwnFileSystem) {
    if (gdtest::runShell("unshare -rm true 2>/dev/null") != 0)
        GTEST_SKIP() << "no mount namespace for a small file system here";
    constexpr std::uint64_t kMiB = 1024 * 1024;
    gdtest::UpdateSite site;
    const fs::path install = site.root() / "install", stage = site.root() / "stage",
                   cache = site.root() / "cache";
    for (const fs::path& folder : {install, stage, cache}) fs::create_directories(folder);
    site.writeConfig(install, "update");
    gdtest::writeFile(install / "version.dat", enciphered("1.000000,1.000000"));
    gdtest::writeFile(stage / "update.dat",
                      enciphered("function updater() update.copy('noise', 'noise') end"));
    gdtest::writeFile(stage / "noise", gdtest::randomBytes(8 * kMiB, 5));
    ASSERT_EQ(
        gdtest::runShell("cd " + gdtest::shellQuoted(stage) + " && zip -qrX " +
                         gdtest::shellQuoted(site.serverFolder("update") / "noise.zip") + " ."),
        0);
    gdtest::serveVersionScript(site.serverFolder("update"), "1.1", {"'n', 1.1, 'noise.zip'"});
    site.server().setFaults({{gdtest::FtpFault::Kind::Overrun, "noise.zip", 1024}});

    const std::string size = std::to_string((gd::kDiskReserve + 2 * kMiB) / 1024) + "k";
    const std::string command =
        "unshare -rm sh -c 'mount -t tmpfs -o size=" + size +
        " none \"$0\" && XDG_CACHE_HOME=\"$0\" \"$1\" update \"$2\" > /dev/null 2>&1; "
        "echo $? $(stat -f -c \"%a %S\" \"$0\")' " +
        gdtest::shellQuoted(cache) + " " + gdtest::shellQuoted(GD_GDTOOL_PATH) + " " +
        gdtest::shellQuoted(install) + " > " + gdtest::shellQuoted(site.root() / "out.txt");
    ASSERT_EQ(gdtest::runShell(command), 0);
    std::istringstream said(gdtest::readFile(site.root() / "out.txt"));
    int code = -1;
    std::uint64_t blocks = 0, blockSize = 0;
    said >> code >> blocks >> blockSize;
    EXPECT_EQ(code, 5);
    EXPECT_GE(blocks * blockSize, gd::kDiskReserve);
}

}  // namespace

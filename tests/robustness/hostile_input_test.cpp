// Hostile and malformed inputs through the whole pipeline: every case is an
// installation at 1.0 whose `gdtool update` runs against a real FTP server
// that serves one version script and at most one archive. The archives are
// made by Python's zipfile, Info-ZIP's zip or written byte by byte
// (archive_maker.py); the installations' own files are damaged by the test.
//
// For every case: no crash (the run exits), no hang (each run is bounded),
// no file anywhere but in the installation (exactly the expected ones) and in
// the run's private temporary directory (which is gone afterwards), and the
// documented outcome: exit code, error boxes, last report, recorded version.

#include "fetch/trusted_fetch.h"
#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "script/encrypted_script.h"
#include "script/lua_state.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "support/temp_dir.h"
#include "update/disk_budget.h"
#include "update/update_archive.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::enciphered;
using gdtest::randomBytes;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kRunLimit = 90s;

std::string box(std::string_view text) {
    return std::string(gd::kErrorCaption) + ": " + std::string(text);
}

// An update script that copies each (source, target) pair; long brackets
// keep a CP932 trail byte 0x5C from being read as an escape.
std::string copies(const std::vector<std::pair<std::string, std::string>>& pairs,
                   std::string_view tail = {}) {
    std::string script = "function updater()\n";
    for (const auto& [source, target] : pairs)
        script += "  update.copy([[" + source + "]], [[" + target + "]])\n";
    return script + std::string(tail) + "end\n";
}

// What a case must end with.
struct Outcome {
    int exitCode = 0;
    std::vector<std::string> messages;                       // error boxes, "caption: text"
    int lastReport = -1;                                     // -1: no report at all
    std::string version;                                     // version.dat afterwards, deciphered
    std::vector<std::pair<std::string, std::string>> added;  // new files: path, bytes
    std::string reason;                     // begins the "gdtool: " line that says why, if any
    std::vector<std::string> skipped = {};  // operations said to be skipped, after the boxes
};

constexpr const char* kVersion10 = "1.000000,1.000000";
constexpr const char* kVersion11 = "1.100000,1.000000";

Outcome completed(std::vector<std::pair<std::string, std::string>> added,
                  std::string version = kVersion11) {
    return {0, {}, 3, std::move(version), std::move(added), {}};
}
Outcome completedSkipping(std::vector<std::pair<std::string, std::string>> added,
                          std::vector<std::string> skipped) {
    return {0, {}, 3, kVersion11, std::move(added), {}, std::move(skipped)};
}
Outcome failed(std::string_view message, std::string reason = {}) {
    return {5, {box(message)}, 5, kVersion10, {}, std::move(reason)};
}
// Which archive, and why, before the box.
Outcome unpackFails() {
    return failed(gd::kUnpackFailedMessage, "hostile.zip cannot be unpacked: ");
}
Outcome applyFails() {
    return failed(gd::kApplyFailedMessage);
}
Outcome scriptUnusable() {
    return failed(gd::kApplyFailedMessage, "hostile.zip: its update.dat cannot be used");
}
Outcome nothingOffered(std::string version = kVersion10) {
    return {0, {}, -1, std::move(version), {}, {}};
}
Outcome listRefused(std::string_view message) {
    return {1, {box(message)}, -1, kVersion10, {}, {}};
}
// A config.dat that names no server leaves none to ask: a failure, not an
// installation that is up to date.
Outcome noServer() {
    return {5, {}, -1, kVersion10, {}, "DUREDOR_FTP_ADR \"\" is no host"};
}
// A config.dat that cannot be used contacts no server, and never as unsigned:
// refused (1), as the exit status table says.
Outcome unusable(const std::string& why) {
    return {1,  {box(gd::kUnusableSettingsMessage)}, -1, kVersion10,
            {}, "config.dat cannot be used: " + why};
}

struct HostileCase {
    using Text = std::optional<std::string>;
    HostileCase(std::string name, std::string input, Outcome outcome, Text script = {},
                Text config = {}, Text version = {}, Text filelist = {}, bool limited = false)
        : name(std::move(name)),
          input(std::move(input)),
          outcome(std::move(outcome)),
          script(std::move(script)),
          config(std::move(config)),
          version(std::move(version)),
          filelist(std::move(filelist)),
          limited(limited) {}

    std::string name;   // server folder, installation; its archive is served as hostile.zip
    std::string input;  // what is wrong with it
    Outcome outcome;
    Text script;  // update.dat of the archive (plain text); none: the recipe needs none
    // Replacements (plain text, enciphered by the test); none: the normal file.
    Text config, version, filelist;
    bool limited;  // runs into the Lua time limit once
};

// In a replacement config.dat, the normal one of the case.
constexpr std::string_view kNormalConfig = "{config}";

constexpr std::uint64_t kGiB = 1ull << 30;
static_assert(5 * kGiB > gd::kArchiveExtractLimit, "the bombs must exceed the extraction limit");
static_assert(11 * kGiB > gd::kRunDiskBudget, "the announced download must exceed any budget");

std::string repeated(std::string_view text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) result += text;
    return result;
}

// The inputs and what each must lead to. `token` is a name no other test
// uses, `outside` a folder that must stay empty. Archive entries hold their
// own raw names, so an expected file's bytes tell which entry it came from.
std::vector<HostileCase> hostileCases(const std::string& token, const std::string& outside) {
    const std::string config(kNormalConfig);
    const std::string payload = "payload.txt";
    const std::string copyPayload = copies({{payload, payload}});
    const auto gotPayload = completed({{payload, payload}});
    const std::string padding(gd::kUpdateScriptLimit - copyPayload.size() - 3, 'x');
    const std::string normalList =
        "latest_version = 1.1\nfunction filelist()\n"
        "  patch.File('2026/04', 1.1, 'hostile.zip')\nend\n";
    // CP932: データ, and ソ and 表, whose trail bytes are 0x5C.
    const std::string data932 = "\x83\x66\x81\x5B\x83\x5E", so = "\x83\x5C", hyo = "\x95\x5C";
    const std::string abs3 = "/tmp/" + token + "/abs3.txt";
    const std::string entry11 = "patch.File('2026/04', 1.1, 'hostile.zip') ";
    const auto listing = [](const std::string& body) {
        return "latest_version = 1.1\nfunction filelist() " + body + " end\n";
    };
    const std::string raisingGlobals =
        "setmetatable(_G, {__index = function(_, name) error(name) end})\n";
    // clang-format off
    return {
    // ---- entry names, written raw; the refused ones are not copied ----------------------------
    {"dotdot_leading", "../ and ..\\ first, odd (refused) and even counts",
     completed({{"lead2.txt", "../../lead2.txt"}, {"lead4.txt", "../../../../lead4.txt"},
                {"lead6.txt", "..\\..\\lead6.txt"}}),
     copies({{"lead2.txt", "lead2.txt"}, {"lead4.txt", "lead4.txt"}, {"lead6.txt", "lead6.txt"}})},
    {"dotdot_inner", "../ and ..\\ inside names",
     completed({{"inner1.txt", "a/../inner1.txt"}, {"inner3.txt", "a/b/../c/inner3.txt"},
                {"inner5.txt", "a\\..\\inner5.txt"}, {"inner6.txt", "a/..\\inner6.txt"},
                {"inner7.txt", "a\\../inner7.txt"}}),
     copies({{"inner1.txt", "inner1.txt"}, {"c/inner3.txt", "inner3.txt"},
             {"inner5.txt", "inner5.txt"}, {"inner6.txt", "inner6.txt"},
             {"inner7.txt", "inner7.txt"}})},
    {"dotdot_trailing", ".. last, empty names, dots that are names",
     completed({{"dots3.txt", "..."}, {"dotname.txt", "..name.txt"}}),
     copies({{"...", "dots3.txt"}, {"..name.txt", "dotname.txt"}})},
    {"absolute", "absolute names, into /tmp and into the outside folder",
     completed({{"abs1.txt", "/abs1.txt"}, {"abs2.txt", "//abs2.txt"}, {"abs3.txt", abs3},
                {"abs4.txt", "\\abs4.txt"}, {"abs6.txt", outside + "/abs6.txt"}}),
     copies({{"abs1.txt", "abs1.txt"}, {"abs2.txt", "abs2.txt"}, {abs3.substr(1), "abs3.txt"},
             {"abs4.txt", "abs4.txt"}, {outside.substr(1) + "/abs6.txt", "abs6.txt"}})},
    {"drive_letters", "drive letters and UNC names",
     completed({{"drive1.txt", "C:\\drive1.txt"}, {"drive2.txt", "C:/drive2.txt"},
                {"drive3.txt", "c:drive3.txt"}, {"drive4.txt", "C:..\\..\\drive4.txt"},
                {"drive5.txt", "\\\\server\\share\\drive5.txt"},
                {"drive7.txt", "C:\\" + token + "\\drive7.txt"}}),
     copies({{"drive1.txt", "drive1.txt"}, {"drive2.txt", "drive2.txt"},
             {"drive3.txt", "drive3.txt"}, {"drive4.txt", "drive4.txt"},
             {"server\\share\\drive5.txt", "drive5.txt"},
             {token + "\\drive7.txt", "drive7.txt"}})},
    {"symlinks", "links out of the archive, then entries through them",
     completed({{"through_link.txt", "escape/through_link.txt"},
                {"through_up.txt", "up/through_up.txt"}, {"victim.txt", "victim.txt"}}),
     copies({{"escape/through_link.txt", "through_link.txt"},
             {"up/through_up.txt", "through_up.txt"}, {"victim.txt", "victim.txt"}})},
    {"duplicates", "a name twice, then in other case, and update.dat twice: the later ones count",
     completed({{"dup.txt", "third"}}),
     copies({{"dup.txt", "dup.txt"}, {"DUP.txt", "DUP.txt"}})},
    {"names_cp932", "CP932 names with trail bytes 0x5C, one climbing out",
     completed({{"ソ表.txt", data932 + "\\" + so + hyo + ".txt"}, {"f.txt", so + "..\\f.txt"}}),
     copies({{data932 + "\\" + so + hyo + ".txt", so + hyo + ".txt"},
             {so + "..\\f.txt", "f.txt"}})},
    {"names_utf8", "UTF-8 names, one flagged UTF-8 that is not",
     completed({{"ファイル.txt", "更新/ファイル.txt"}, {"曲.txt", "音楽♪/曲.txt"}}),
     copies({{"更新/ファイル.txt", "ファイル.txt"}, {"音楽♪\\曲.txt", "曲.txt"}})},
    // ---- sizes: extraction stops past gd::kArchiveExtractLimit, checked on the declared sizes --
    {"bomb_deflate",     "5 GiB of zeros behind 16 MiB, honest sizes, CRC", unpackFails(), copyPayload},
    {"bomb_overlap",     "ten entries sharing one 512 MiB stream",     unpackFails(), copyPayload},
    {"bomb_liar",        "declares 100000 bytes, inflates to 3 GiB",   unpackFails(), copyPayload},
    {"bomb_zip64",       "a ZIP64 entry of 5 GiB",                     unpackFails(), copyPayload},
    {"entries_flood",    "65536 entries, ZIP64",                        unpackFails(), copyPayload},
    {"download_over_cap", "SIZE announces 11 GiB: refused before the transfer",
     {5, {box(gd::kDownloadFailedMessage)}, 5, kVersion10, {}, "hostile.zip cannot be downloaded"}},
    {"zip64_forced",     "ZIP64 records on small entries (force_zip64)",
     completed({{"data.bin", repeated("data.bin", 1000)}}), copies({{"data.bin", "data.bin"}})},
    // ---- encryption and broken containers --------------------------------------------------
    {"encrypted_entry",  "one entry encrypted (zip -P): its copy is skipped",
     completedSkipping({{"plain.txt", "plain.txt"}},
                       {"copy secret.txt to secret.txt: the archive holds no secret.txt"}),
     copies({{"plain.txt", "plain.txt"}, {"secret.txt", "secret.txt"}})},
    // ---- the last entry named like the script is the script, whatever it is -----------------
    {"encrypted_script", "update.dat encrypted (zip -P) after a plain old/update.dat",
     scriptUnusable(), copyPayload},
    {"script_link",      "a link named patch/update.dat after the script",  scriptUnusable(),
     copyPayload},
    {"script_undecodable", "a name flagged UTF-8 that is not, after the script", scriptUnusable(),
     copyPayload},
    {"script_escaping",  "a/../../update.dat after the script",  scriptUnusable(), copyPayload},
    {"empty",            "an archive without entries",                 unpackFails()},
    {"truncated",        "the first half of an archive",               unpackFails(), copyPayload},
    {"random_bytes",     "64 KiB of random bytes",                     unpackFails()},
    {"no_script",        "a sound archive without update.dat",         unpackFails()},
    // ---- update.dat --------------------------------------------------------------------------
    {"script_limit",     "update.dat of exactly 1 MiB",                    gotPayload,
     copyPayload + "--" + padding + "\n"},
    {"script_huge",      "update.dat one byte over 1 MiB",                 applyFails(),
     copyPayload + "--" + padding + "x\n"},
    {"script_binary",    "update.dat of random bytes",                     applyFails(),
     randomBytes(5000, 31)},
    {"script_bytecode",  "a Lua bytecode header, then random bytes",       applyFails(),
     std::string("\x1bLua\x51\x00\x01\x04\x08\x04\x08\x00", 12) + randomBytes(3000, 32)},
    {"script_memory",    "updater allocates without end",                  applyFails(),
     "function updater() local t, s = {}, string.rep('x', 1048576)\n"
     "  for i = 1, 1e9 do t[i] = s .. i end end\n"},
    {"script_bad_target", "a copy onto an absolute path: inside, where no folder is",
     completedSkipping({}, {"copy payload.txt to tmp/" + token + "/x.txt: tmp: no such folder"}),
     copies({{payload, "/tmp/" + token + "/x.txt"}})},
    // ---- the installation's config.dat and version.dat, the server's filelist.dat -----------
    {"config_huge",      "config.dat over 4096 bytes",
     unusable("the file is larger than the 4096 bytes the launcher reads"),
     copyPayload, config + "--" + std::string(5000, 'x') + "\n"},
    {"config_binary",    "config.dat of random bytes",
     unusable("the chunk does not load: [string \"config.dat\"]:1: unexpected symbol near "
              "'char(20)'"),
     copyPayload, randomBytes(3000, 33)},
    {"config_loop",      "config.dat never returns after its settings",
     unusable("the chunk stopped with an error: script ran longer than its time limit"),
     copyPayload, config + "while true do end\n", {}, {}, true},
    {"version_huge",     "version.dat over 128 bytes",                     gotPayload,
     copyPayload, {}, kVersion10 + std::string(200, ' ')},
    {"version_binary",   "version.dat of binary bytes",
     completed({{payload, payload}}, "1.100000,0.000000"),
     copyPayload, {}, std::string("\x01\xff\x00\xfe,\x80garbage", 14)},
    {"version_nan",      "version.dat of nan and inf: nothing is ever newer",
     nothingOffered("nan,inf"), copyPayload, {}, "nan,inf"},
    {"filelist_huge",    "filelist.dat of 1 MiB: only 4096 bytes count",   gotPayload,
     copyPayload, {}, {}, normalList + "-- " + std::string(1 << 20, 'x')},
    {"filelist_binary",  "filelist.dat of random bytes",
     listRefused(gd::kVersionScriptLoadError), {}, {}, {}, randomBytes(4000, 34)},
    {"filelist_loop",    "filelist() never returns",
     listRefused(gd::kVersionScriptRunError), {}, {}, {},
     "latest_version = 1.1\nfunction filelist() while true do end end\n", true},
    // ---- script limits: library sets, bytecode, the time limit, globals that raise ----------
    {"filelist_io",      "filelist() writes a file through io",
     listRefused(gd::kVersionScriptRunError), copyPayload, {}, {},
     listing("io.open([[" + outside + "/filelist_io.txt]], 'w'):write('x') " + entry11)},
    {"script_bytecode_dump", "updater runs string.dump's bytecode through loadstring",
     applyFails(), "function updater() loadstring(string.dump(function() "
                   "update.copy('payload.txt', 'payload.txt') end))() end\n"},
    {"filelist_pcall_loop", "filelist() catches the time limit's error in a loop",
     listRefused(gd::kVersionScriptRunError), copyPayload, {}, {},
     listing(entry11 + "while true do pcall(function() while true do end end) end"), true},
    {"filelist_pattern", "filelist() runs a backtracking pattern search",
     listRefused(gd::kVersionScriptRunError), copyPayload, {}, {},
     listing(entry11 + "local _ = ('a'):rep(2000):find('.-.-.-.-b')"), true},
    {"filelist_index",   "latest_version missing, _G's __index raises",
     listRefused(gd::kVersionScriptRunError), copyPayload, {}, {},
     "function filelist() " + entry11 + "end\n" + raisingGlobals},
    {"config_index",     "config.dat's _G raises for CERTIFICATION_URL",    noServer(),
     copyPayload, config + raisingGlobals},
    // ---- versions only go forward --------------------------------------------------------------
    {"filelist_inf",     "an entry of version 'inf'",
     listRefused(gd::kVersionScriptRunError), copyPayload, {}, {},
     listing("patch.File('2026/04', 'inf', 'hostile.zip')")},
    {"filelist_1e39",    "an entry of version 1e39, past a float",
     listRefused(gd::kVersionScriptRunError), copyPayload, {}, {},
     listing("patch.File('2026/04', '1e39', 'hostile.zip')")},
    {"filelist_latest_inf", "latest_version = 1/0",                         nothingOffered(),
     copyPayload, {}, {}, "latest_version = 1/0\nfunction filelist() " + entry11 + "end\n"},
    {"filelist_backwards", "1.2 listed before 1.1: both applied, 1.1 first",
     completed({{payload, payload}}, "1.200000,1.000000"), copyPayload, {}, {},
     "latest_version = 1.2\nfunction filelist() patch.File('2026/05', 1.2, 'hostile.zip') " +
     entry11 + "end\n"},
    };
    // clang-format on
}

struct CaseRun;

class HostileInputTest : public ::testing::Test {
  protected:
    HostileInputTest() {
        std::random_device seed;
        token_ = "gd-hostile-" + std::to_string(seed()) + "-" + std::to_string(seed());
        fs::create_directories(outside());
        fs::create_directories(scripts());
    }

    fs::path outside() const { return site_.root() / "outside"; }
    fs::path scripts() const { return site_.root() / "scripts"; }
    fs::path caseDir(const HostileCase& c) const { return site_.root() / "cases" / c.name; }
    fs::path install(const HostileCase& c) const { return caseDir(c) / "install"; }
    fs::path tmpDir(const HostileCase& c) const { return caseDir(c) / "tmp"; }

    // The case's script, version script and installation at 1.0.
    void prepare(const HostileCase& c) {
        if (c.script) gdtest::writeFile(scripts() / (c.name + ".dat"), enciphered(*c.script));
        const fs::path folder = site_.serverFolder(c.name);
        if (c.filelist) {
            gdtest::writeFile(folder / "filelist.dat", enciphered(*c.filelist));
        } else {
            gdtest::serveVersionScript(folder, "1.1", {"'2026/04', 1.1, 'hostile.zip'"});
        }
        fs::create_directories(install(c));
        fs::create_directories(tmpDir(c));
        std::string config = c.config.value_or(std::string(kNormalConfig));
        if (config.starts_with(kNormalConfig))
            config.replace(0, kNormalConfig.size(), site_.configText(c.name));
        gdtest::writeFile(install(c) / "config.dat", enciphered(config));
        gdtest::writeFile(install(c) / "version.dat", enciphered(c.version.value_or(kVersion10)));
        gdtest::writeFile(install(c) / "GrooveDeck", "launcher");
    }

    void makeArchives() {
        ASSERT_EQ(gdtest::runShell("/usr/bin/python3 " + gdtest::shellQuoted(GD_ARCHIVE_MAKER) +
                                   " corpus " + gdtest::shellQuoted(site_.serverRoot()) + " " +
                                   gdtest::shellQuoted(scripts()) + " " + token_ + " " +
                                   gdtest::shellQuoted(outside())),
                  0);
        // Every case's version script lists its archive as hostile.zip.
        for (const auto& folder : fs::directory_iterator(site_.serverRoot())) {
            const fs::path archive = folder.path() / (folder.path().filename().string() + ".zip");
            if (fs::exists(archive)) fs::rename(archive, folder.path() / "hostile.zip");
        }
    }

    // The site but for what the runs may change: cases/NAME/{install,tmp}
    // and the runs' output.
    gdtest::Tree surroundings() const {
        gdtest::Tree tree = gdtest::snapshotTree(site_.root(), false);
        std::erase_if(tree, [](const auto& node) {
            std::vector<std::string> parts;
            for (const auto& part : fs::path(node.first)) parts.push_back(part.string());
            if (parts.size() < 3 || parts[0] != "cases") return false;
            return parts[2] == "install" || parts[2] == "tmp" || parts[2] == "out.txt" ||
                   parts[2] == "err.txt";
        });
        return tree;
    }

    void expectOutcome(const CaseRun& run) const;

    gdtest::UpdateSite site_;
    std::string token_;
};

struct CaseRun {
    const HostileCase* hostile;
    gdtest::Tree installedBefore;
    std::unique_ptr<gdtest::GdtoolRun> process;
    Clock::time_point started;
    Clock::duration took{};
    std::optional<gdtest::RunEnd> end;  // none: still running at the limit, killed
};

std::string expectedErrors(const Outcome& outcome) {
    std::string text;
    if (!outcome.reason.empty()) text += "gdtool: " + outcome.reason;
    for (const std::string& message : outcome.messages) text += "message=" + message + "\n";
    for (const std::string& skipped : outcome.skipped) text += "gdtool: skipped " + skipped + "\n";
    return text;
}

// stderr with the rest of the reason's line cut, since it names a port.
std::string errorsAsExpected(std::string errors, const Outcome& outcome) {
    if (outcome.reason.empty() || !errors.starts_with("gdtool: " + outcome.reason)) return errors;
    const std::size_t from = 8 + outcome.reason.size();
    return errors.erase(from, errors.find('\n') + 1 - from);
}

// Runs every case at once, each bounded by kRunLimit.
void runAll(std::vector<CaseRun>& runs) {
    const auto deadline = Clock::now() + kRunLimit;
    for (bool pending = true; pending && Clock::now() < deadline;) {
        pending = false;
        for (CaseRun& run : runs) {
            if (run.end) continue;
            run.end = run.process->waitFor(0ms);
            if (run.end) {
                run.took = Clock::now() - run.started;
            } else {
                pending = true;
            }
        }
        if (pending) std::this_thread::sleep_for(20ms);
    }
    for (CaseRun& run : runs)
        if (!run.end) run.process->kill();
}

void HostileInputTest::expectOutcome(const CaseRun& run) const {
    const HostileCase& c = *run.hostile;
    const Outcome& expected = c.outcome;
    if (!run.end) {
        ADD_FAILURE() << "no end within " << kRunLimit.count() << " s";
        return;
    }
    const double seconds = std::chrono::duration<double>(run.took).count();
    const std::string version = gdtest::readDecrypted(install(c) / "version.dat");
    std::printf("%-22s exit %d, last report %2d, %5.1f s, version %s\n", c.name.c_str(),
                run.end->code, gdtest::lastReportCode(run.process->output()), seconds,
                version.c_str());
    EXPECT_TRUE(run.end->exited) << "ended by signal " << run.end->signal;
    EXPECT_EQ(run.end->code, expected.exitCode);
    EXPECT_EQ(errorsAsExpected(run.process->errors(), expected), expectedErrors(expected));
    EXPECT_EQ(gdtest::lastReportCode(run.process->output()), expected.lastReport)
        << run.process->output();
    EXPECT_EQ(version, expected.version);

    gdtest::Tree tree = run.installedBefore;
    tree["version.dat"].bytes = enciphered(expected.version);
    for (const auto& [path, bytes] : expected.added)
        tree[path] = {gdtest::TreeNode::Kind::File, bytes, false};
    EXPECT_EQ(gdtest::treeDifferences(tree, gdtest::snapshotTree(install(c))), "");
    // The run's private directory is gone, and nothing else came there.
    EXPECT_TRUE(fs::is_empty(tmpDir(c)));
    if (c.limited) {
        const double limit = std::chrono::duration<double>(gd::kLuaTimeLimit).count();
        EXPECT_GE(seconds, limit);
        EXPECT_LT(seconds, limit + 30.0);
    }
}

TEST_F(HostileInputTest, EveryInputEndsAsDocumentedAndWritesNowhereElse) {
    const std::vector<HostileCase> cases = hostileCases(token_, outside().string());
    for (const HostileCase& c : cases) prepare(c);
    // The duplicates archive holds a first update.dat that must not be the script.
    gdtest::writeFile(scripts() / "_duplicates_first.dat",
                      enciphered(copies({{"dup.txt", "first_script.txt"}})));
    makeArchives();
    if (HasFatalFailure()) return;

    const gdtest::Tree before = surroundings();
    std::vector<CaseRun> runs;
    for (const HostileCase& c : cases) {
        runs.push_back({&c,
                        gdtest::snapshotTree(install(c)),
                        std::make_unique<gdtest::GdtoolRun>(
                            std::vector<std::string>{"update", install(c).string()}, tmpDir(c),
                            caseDir(c) / "out.txt", caseDir(c) / "err.txt"),
                        Clock::now(),
                        {},
                        std::nullopt});
    }
    runAll(runs);
    for (const CaseRun& run : runs) {
        SCOPED_TRACE(run.hostile->name + ": " + run.hostile->input);
        expectOutcome(run);
    }

    EXPECT_TRUE(fs::is_empty(outside()));
    EXPECT_EQ(gdtest::treeDifferences(before, surroundings()), "");
    EXPECT_FALSE(fs::exists(fs::path("/tmp") / token_));
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
        EXPECT_EQ(entry.path().filename().string().find(token_), std::string::npos) << entry.path();
}

}  // namespace

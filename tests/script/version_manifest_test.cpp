#include "script/version_manifest.h"

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_offer.h"
#include "script/version_rules.h"
#include "support/child_run.h"
#include "support/temp_dir.h"
#include "trust/content_digest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

using gd::VersionManifest;

class RecordingNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        messages.emplace_back(caption, text);
    }
    std::vector<std::pair<std::string, std::string>> messages;
};

std::vector<std::string> archivesOf(const VersionManifest& manifest) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < manifest.entryCount(); ++i)
        names.push_back(manifest.entryAt(i).archive);
    return names;
}

constexpr const char* kTwoArchives = R"(
    latest_version = 1.2
    function filelist(latest)
        patch.File("2026/01/10", %s, "a.zip")
        patch.File("2026/02/10", 1.2, "b.zip")
    end)";

std::string twoArchives(const char* firstVersion) {
    std::string script(kTwoArchives);
    script.replace(script.find("%s"), 2, firstVersion);
    return script;
}

TEST(VersionFile, ParsesPiecesLikeAtof) {
    EXPECT_FLOAT_EQ(gd::readVersionNumber("2.500000,1.000000", 0), 2.5f);
    EXPECT_FLOAT_EQ(gd::readVersionNumber("2.500000,1.000000", 1), 1.0f);
    EXPECT_FLOAT_EQ(gd::readVersionNumber(" 1.5abc,x", 0), 1.5f);
    EXPECT_FLOAT_EQ(gd::readVersionNumber(" 1.5abc,x", 1), 0.0f);
    EXPECT_FLOAT_EQ(gd::readVersionNumber("3", 1), 0.0f);  // no comma: missing piece
    EXPECT_FLOAT_EQ(gd::readVersionNumber(",,", 1), 0.0f);
    EXPECT_FLOAT_EQ(gd::readVersionNumber("-1.25,+2", 1), 2.0f);
    EXPECT_FLOAT_EQ(gd::readVersionNumber("-1.25,+2", 0), -1.25f);
    // Past a double's range the digits and the exponent decide together, and
    // text after the number does not count.
    const float infinity = std::numeric_limits<float>::infinity();
    EXPECT_EQ(gd::readVersionNumber("1e400 -1", 0), infinity);
    EXPECT_EQ(gd::readVersionNumber("1" + std::string(400, '0') + "e-5", 0), infinity);
    EXPECT_EQ(gd::readVersionNumber("0." + std::string(400, '0') + "1", 0), 0.0f);
    EXPECT_EQ(gd::readVersionNumber("-1e-400e9", 0), 0.0f);
    EXPECT_EQ(gd::formatVersionFile(3.0f, 1.0f), "3.000000,1.000000");
    EXPECT_EQ(gd::formatVersion(1.1f), "1.100000");
}

TEST(VersionFile, UpdatesTheInstalledVersionAndKeepsTheSecond) {
    gdtest::TempDir temp;
    gdtest::writeEncrypted(temp.path() / "version.dat", "2.500000,1.000000");
    gd::LauncherConfig config;
    gd::loadVersionFile(temp.dir(), config);
    EXPECT_FLOAT_EQ(config.server.installedVersion, 2.5f);
    EXPECT_FLOAT_EQ(config.secondVersion, 1.0f);

    ASSERT_TRUE(gd::setInstalledVersion(temp.dir(), config, 3.0f));
    EXPECT_EQ(gdtest::readDecrypted(temp.path() / "version.dat"), "3.000000,1.000000");
}

TEST(VersionFile, MissingEmptyAndForeignFiles) {
    gdtest::TempDir temp;
    gd::LauncherConfig created;
    gd::loadVersionFile(temp.dir(), created);
    EXPECT_FLOAT_EQ(created.server.installedVersion, 1.0f);
    EXPECT_EQ(gdtest::readDecrypted(temp.path() / "version.dat"), "1.000000,1.000000");

    gdtest::writeFile(temp.path() / "version.dat", "");
    gd::LauncherConfig empty;
    gd::loadVersionFile(temp.dir(), empty);
    EXPECT_FLOAT_EQ(empty.secondVersion, 1.0f);

    // Plain text on disk deciphers to noise: the numbers read as 0.
    gdtest::writeFile(temp.path() / "version.dat", "9.000000,9.000000");
    gd::LauncherConfig foreign;
    gd::loadVersionFile(temp.dir(), foreign);
    EXPECT_FLOAT_EQ(foreign.server.installedVersion, 0.0f);
}

TEST(VersionScript, ListsNewerArchivesInCallOrder) {
    RecordingNotifier notifier;
    VersionManifest manifest;
    EXPECT_FLOAT_EQ(gd::runVersionScript(notifier, twoArchives("1.1"), 1.0f, manifest), 1.2f);
    EXPECT_EQ(archivesOf(manifest), (std::vector<std::string>{"a.zip", "b.zip"}));
    EXPECT_EQ(manifest.entryAt(0).label, "2026/01/10");
    EXPECT_FLOAT_EQ(manifest.entryAt(0).version, 1.1f);
    EXPECT_FLOAT_EQ(manifest.baseVersion(), 1.0f);

    // A version given as text gives the same entry; equal versions are dropped.
    EXPECT_FLOAT_EQ(gd::runVersionScript(notifier, twoArchives("'1.1'"), 1.0f, manifest), 1.2f);
    EXPECT_FLOAT_EQ(manifest.entryAt(0).version, 1.1f);
    EXPECT_FLOAT_EQ(gd::runVersionScript(notifier, twoArchives("1.0"), 1.0f, manifest), 1.2f);
    EXPECT_EQ(archivesOf(manifest), std::vector<std::string>{"b.zip"});
    EXPECT_TRUE(notifier.messages.empty());
}

// The installed version only goes forward: a list that would record an
// infinite version is refused whole, and a latest version that is not finite
// offers nothing. Entries come in ascending version order whatever order the
// list names them in, equal versions (an update in two archives) in call
// order; entries at or below the installed one are dropped.
TEST(VersionScript, ListsThatWouldNotTakeTheVersionForwardAreRefused) {
    const auto list = [](const char* latest, const char* entries) {
        return std::string("latest_version = ") + latest + " function filelist() " + entries +
               " end";
    };
    const auto file = [](const char* version, const char* archive) {
        return std::string("patch.File('d', ") + version + ", '" + archive + "') ";
    };
    struct Case {
        std::string script;
        std::vector<std::string> archives;  // none: the list is refused or offers nothing
        bool reported;
    };
    const Case cases[] = {
        {list("1.2", (file("'inf'", "a.zip") + file("1.2", "b.zip")).c_str()), {}, true},
        {list("1.2", (file("1.1", "a.zip") + file("'1e39'", "b.zip")).c_str()), {}, true},
        {list("1.2", (file("1.2", "b.zip") + file("1.1", "a.zip")).c_str()),
         {"a.zip", "b.zip"},
         false},
        {list("1.2", (file("1.2", "b.zip") + file("1.15", "c.zip") + file("0.9", "old.zip") +
                      file("1.1", "a.zip") + file("1.15", "c2.zip") + file("1.1", "a2.zip"))
                         .c_str()),
         {"a.zip", "a2.zip", "c.zip", "c2.zip", "b.zip"},
         false},
        {list("1/0", file("1.1", "a.zip").c_str()), {}, false},
        {list("1e39", file("1.1", "a.zip").c_str()), {}, false},
        {list("0/0", file("1.1", "a.zip").c_str()), {}, false},
        {list("1.2", (file("1.1", "a.zip") + file("1.1", "a2.zip") + file("0.5", "old.zip") +
                      file("'nan'", "n.zip") + file("-1/0", "m.zip") + file("1.2", "b.zip"))
                         .c_str()),
         {"a.zip", "a2.zip", "b.zip"},
         false},
    };
    for (const Case& c : cases) {
        RecordingNotifier notifier;
        VersionManifest manifest;
        const float latest = gd::runVersionScript(notifier, c.script, 1.0f, manifest);
        EXPECT_EQ(latest, c.archives.empty() ? 0.0f : 1.2f) << c.script;
        if (!c.archives.empty()) {
            EXPECT_EQ(archivesOf(manifest), c.archives) << c.script;
        }
        EXPECT_EQ(notifier.messages.size(), c.reported ? 1u : 0u) << c.script;
    }

    gdtest::TempDir temp;
    gd::LauncherConfig config;
    gd::loadVersionFile(temp.dir(), config);
    for (const float refused :
         {std::numeric_limits<float>::infinity(), 0.5f, std::numeric_limits<float>::quiet_NaN()})
        EXPECT_FALSE(gd::setInstalledVersion(temp.dir(), config, refused)) << refused;
    EXPECT_TRUE(gd::setInstalledVersion(temp.dir(), config, 1.0f));
    EXPECT_EQ(gdtest::readDecrypted(temp.path() / "version.dat"), "1.000000,1.000000");
}

// filelist.dat runs before anyone agreed to anything: it gets no way to load
// code, reach files or processes, or change environments.
TEST(VersionScript, RunsWithTheSafeLibrarySet) {
    const std::pair<const char*, const char*> cases[] = {
        {"io", "nil"},
        {"package", "nil"},
        {"debug", "nil"},
        {"dofile", "nil"},
        {"loadfile", "nil"},
        {"load", "nil"},
        {"loadstring", "nil"},
        {"require", "nil"},
        {"module", "nil"},
        {"getfenv", "nil"},
        {"setfenv", "nil"},
        {"collectgarbage", "nil"},
        {"newproxy", "nil"},
        {"string.dump", "nil"},
        {"os.execute", "nil"},
        {"os.exit", "nil"},
        {"os.getenv", "nil"},
        {"os.remove", "nil"},
        {"os.rename", "nil"},
        {"os.tmpname", "nil"},
        {"os.setlocale", "nil"},
        {"os.time", "function"},
        {"os.date", "function"},
        {"os.clock", "function"},
        {"os.difftime", "function"},
        {"string.format", "function"},
        {"table.concat", "function"},
        {"math.floor", "function"},
        {"pcall", "function"},
        {"setmetatable", "function"},
    };
    for (const auto& [name, type] : cases) {
        RecordingNotifier notifier;
        VersionManifest manifest;
        const std::string script = std::string(
                                       "latest_version = 2 function filelist() "
                                       "patch.File(type(") +
                                   name + "), 2, 'a.zip') end";
        ASSERT_FLOAT_EQ(gd::runVersionScript(notifier, script, 1.0f, manifest), 2.0f) << name;
        EXPECT_EQ(manifest.entryAt(0).label, type) << name;
    }
}

// A globals table whose __index raises ends in the script's error box, not
// in an abort of the process. Run in a child, which an abort would end.
TEST(VersionScript, GlobalsThatRaiseAreAScriptError) {
    const char* const raising = "setmetatable(_G, {__index = function(_, name) error(name) end})";
    const std::string cases[] = {
        std::string("function filelist() end ") + raising,  // latest_version
        std::string("latest_version = 2 ") + raising,       // filelist
    };
    for (const std::string& script : cases) {
        const gdtest::ChildEnd end = gdtest::runInChild(
            [&] {
                RecordingNotifier notifier;
                VersionManifest manifest;
                const float latest = gd::runVersionScript(notifier, script, 1.0f, manifest);
                return latest == 0.0f && notifier.messages.size() == 1 &&
                               notifier.messages[0].second == gd::kVersionScriptRunError
                           ? 0
                           : 1;
            },
            std::chrono::seconds(30));
        EXPECT_TRUE(end.finished && end.signal == 0 && end.exitCode == 0)
            << script << ": " << gdtest::describe(end);
    }
}

TEST(VersionScript, NoUpdateWithoutAMessage) {
    RecordingNotifier notifier;
    VersionManifest manifest;
    // Equal versions: filelist is never called.
    EXPECT_EQ(gd::runVersionScript(notifier, "latest_version = 1.0 function filelist() error() end",
                                   1.0f, manifest),
              0.0f);
    // Every archive at or below the installed version.
    EXPECT_EQ(gd::runVersionScript(notifier, R"(
        latest_version = 1.2
        function filelist() patch.File("x", 0.9, "x.zip") patch.File("y", 1.0, "y.zip") end)",
                                   1.0f, manifest),
              0.0f);
    // latest_version missing or not a number.
    EXPECT_EQ(gd::runVersionScript(notifier, "function filelist() end", 1.0f, manifest), 0.0f);
    EXPECT_EQ(gd::runVersionScript(notifier, "latest_version = 'new'", 1.0f, manifest), 0.0f);
    EXPECT_TRUE(notifier.messages.empty());
}

TEST(VersionScript, MainBodyEntriesAreDiscarded) {
    RecordingNotifier notifier;
    VersionManifest manifest;
    const float latest = gd::runVersionScript(notifier, R"(
        latest_version = 2
        patch.File("early", 1.5, "early.zip")
        function filelist() patch.File("late", 2, "late.zip") end)",
                                              1.0f, manifest);
    EXPECT_FLOAT_EQ(latest, 2.0f);
    EXPECT_EQ(archivesOf(manifest), std::vector<std::string>{"late.zip"});
}

TEST(VersionScript, UnparsableScriptsAreReportedAndGiveNoUpdate) {
    const std::pair<std::string, std::string_view> cases[] = {
        {"latest_version = ", gd::kVersionScriptLoadError},
        {std::string("\x9c\x01\xff garbage", 11), gd::kVersionScriptLoadError},
        {"latest_version = 2", gd::kVersionScriptRunError},  // filelist missing
        {"latest_version = 2 filelist = 5", gd::kVersionScriptRunError},
        {"latest_version = 2 function filelist() patch.File('a', 2, 'a.zip') error('x') end",
         gd::kVersionScriptRunError},
        {"latest_version = 2 function filelist() patch.File('a', 2) end",
         gd::kVersionScriptRunError},
        {"latest_version = 2 function filelist() patch.File('a', nil, 'a.zip') end",
         gd::kVersionScriptRunError},
        {"latest_version = 2 function filelist() patch.File({}, 2, 'a.zip') end",
         gd::kVersionScriptRunError},
        // The list outgrows the memory limit (it held 3 GB once the loop ended).
        {"latest_version = 2 function filelist() local s = string.rep('x', 3e7)"
         " for i = 1, 100 do patch.File(s, 2, 'a.zip') end end",
         gd::kVersionScriptRunError},
    };
    for (const auto& [script, message] : cases) {
        RecordingNotifier notifier;
        VersionManifest manifest;
        EXPECT_EQ(gd::runVersionScript(notifier, script, 1.0f, manifest), 0.0f) << script;
        ASSERT_EQ(notifier.messages.size(), 1u) << script;
        EXPECT_EQ(notifier.messages[0].first, "エラー");
        EXPECT_EQ(notifier.messages[0].second, message) << script;
    }
}

TEST(VersionScript, FailedLoadKeepsThePreviousEntries) {
    RecordingNotifier notifier;
    VersionManifest manifest;
    gd::runVersionScript(notifier, twoArchives("1.1"), 1.0f, manifest);
    gd::runVersionScript(notifier, "latest_version = ", 1.0f, manifest);
    EXPECT_EQ(manifest.entryCount(), 2u);
}

}  // namespace

namespace {

const std::string kDigest = gd::digestText(gd::digestOf(*gd::hashContent("an archive")));

// Rules ride in comments: the chain is what any Lua, the original
// launcher's included, makes of the same text.
TEST(VersionRules, OfferedInCommentsBesideTheChain) {
    const std::string script =
        twoArchives("1.1") + "\n--@delta 1.0 1.2 delta-1.0-1.2.zip " + kDigest +
        "\n--@delta 1.1 1.2 d%20space.zip\n--@pin a.zip " + kDigest +
        "\r\n--@bases d%20space.zip " + kDigest + "\n" + "--@stage 1.3 1.2 20 - s%20.zip\n" +
        "--@stage 1.4 1.2 100 beta_2 b.zip\n--@bridge 1.3 1.5 br.zip\n" + "--@stage 1.6 1.2 0 " +
        std::string(32, 'b') + " h.zip\n" +
        "--@delta 1.1 1.3 f2.zip - 2\n--@delta 1.0 1.3 f3.zip " + kDigest + " 2\n";
    VersionManifest manifest;
    RecordingNotifier notifier;
    EXPECT_FLOAT_EQ(gd::runVersionScript(notifier, script, 1.0f, manifest), 1.2f);
    EXPECT_EQ(archivesOf(manifest), (std::vector<std::string>{"a.zip", "b.zip"}));
    const gd::VersionRules rules = gd::parseVersionRules(script);
    ASSERT_EQ(rules.deltas.size(), 4u);
    // A pack format past 1 rides after the digest, or after "-" without one.
    EXPECT_EQ(rules.deltas[1].format, 1u);
    EXPECT_EQ(rules.deltas[2].format, 2u);
    EXPECT_FALSE(rules.deltas[2].digest);
    EXPECT_EQ(rules.deltas[3].digest, gd::parseDigest(kDigest));
    EXPECT_FLOAT_EQ(rules.deltas[0].from, 1.0f);
    EXPECT_FLOAT_EQ(rules.deltas[0].to, 1.2f);
    EXPECT_EQ(rules.deltas[1].archive, "d space.zip");
    EXPECT_FALSE(rules.deltas[1].digest);
    // The digest of the installed files a delta is rebuilt from, wherever its line stands.
    EXPECT_FALSE(rules.deltas[0].bases);
    EXPECT_EQ(rules.deltas[1].bases, gd::parseDigest(kDigest));
    EXPECT_EQ(rules.digestFor("a.zip"), gd::parseDigest(kDigest));
    EXPECT_EQ(rules.digestFor("delta-1.0-1.2.zip"), gd::parseDigest(kDigest));
    EXPECT_FALSE(rules.digestFor("b.zip"));
    ASSERT_EQ(rules.stages.size(), 3u);
    EXPECT_FLOAT_EQ(rules.stages[0].version, 1.3f);
    EXPECT_FLOAT_EQ(rules.stages[0].from, 1.2f);
    EXPECT_EQ(rules.stages[0].share, 20);
    EXPECT_EQ(rules.stages[0].channel, "");
    EXPECT_EQ(rules.stages[0].archive, "s .zip");
    EXPECT_EQ(rules.stages[1].channel, "beta_2");
    EXPECT_EQ(rules.stages[2].share, 0);
    EXPECT_EQ(rules.stages[2].channel.size(), 32u);
    ASSERT_EQ(rules.bridges.size(), 1u);
    EXPECT_FLOAT_EQ(rules.bridges[0].from, 1.3f);
    EXPECT_FLOAT_EQ(rules.bridges[0].to, 1.5f);
    EXPECT_EQ(rules.bridges[0].archive, "br.zip");
}

TEST(VersionRules, ALineThatDoesNotParseIsNoRule) {
    for (const std::string& line : std::vector<std::string>{
             "--@delta 1.0 1.2", "--@delta 1.2 1.0 back.zip", "--@delta 1.0 1.2 a.zip notadigest",
             "--@delta 1.0 1.2 a%2.zip", "-- @delta 1.0 1.2 a.zip", "x = 1 --@delta 1.0 1.2 a.zip",
             // A format this launcher does not read, or none past 1.
             "--@delta 1.0 1.2 a.zip - 3", "--@delta 1.0 1.2 a.zip " + kDigest + " 1",
             "--@delta 1.0 1.2 a.zip " + kDigest + " 2x", "--@delta 1.0 1.2 a.zip -",
             "--@delta 1.0 1.2 a.zip - 2 extra", "--@pin a.zip",
             "--@pin a.zip " + kDigest + " extra", "--@stage 1.3 1.2 20 - s.zip extra",
             "--@stage 1.3 1.2 20 s.zip", "--@stage 1.2 1.3 20 - back.zip",
             "--@stage 1.3 1.2 101 - s.zip", "--@stage 1.3 1.2 -1 - s.zip",
             "--@stage 1.3 1.2 2.5 - s.zip", "--@stage 1.3 1.2 +20 - s.zip",
             "--@stage 1.3 1.2 20 Beta s.zip", "--@stage 1.3 1.2 20 _beta s.zip",
             "--@stage 1.3 1.2 20 beta/1 s.zip",
             "--@stage 1.3 1.2 20 " + std::string(33, 'b') + " s.zip",
             "--@stage 1e39 1.2 20 - s.zip", "--@bridge 1.3 1.4", "--@bridge 1.4 1.3 back.zip",
             "--@bridge 1.3 1.3 same.zip", "--@bridge 1.3 1.4 b.zip " + kDigest}) {
        const gd::VersionRules rules = gd::parseVersionRules(line + "\n");
        EXPECT_TRUE(rules.deltas.empty() && rules.pins.empty() && rules.stages.empty() &&
                    rules.bridges.empty())
            << line;
    }
    EXPECT_EQ(gd::fromRuleName(gd::ruleName("a b%c\td.zip")), "a b%c\td.zip");
}

// ---- what one installation of a list with staged releases is offered ----

// The chain everyone gets: 1.1, 1.2, 1.4; each row adds rules.
constexpr const char* kChain = R"(latest_version = 1.4
function filelist()
  patch.File("d", 1.1, "p11.zip") patch.File("d", 1.2, "p12.zip") patch.File("d", 1.4, "p14.zip")
end
)";
const std::string kStage13 = "--@stage 1.3 1.2 20 - s13.zip\n";
const std::string kStage15 = "--@stage 1.5 1.4 20 - s15.zip\n";
const std::vector<std::string> kWholeChain{"p11.zip", "p12.zip", "p14.zip"};

struct OfferCase {
    const char* name;
    std::string rules;
    float installed;
    gd::Audience audience;
    std::vector<std::string> way;
    float latest;
    std::string withheld;  // version and reason, or empty
};

// clang-format off
const std::vector<OfferCase> kOfferCases = {
    {"chain only", "", 1.0f, {10, ""}, kWholeChain, 1.4f, ""},
    {"staged below my number", kStage15, 1.0f, {19, ""},
     {"p11.zip", "p12.zip", "p14.zip", "s15.zip"}, 1.5f, ""},
    {"staged at my number", kStage15, 1.0f, {20, ""}, kWholeChain, 1.4f, "1.500000 staged"},
    {"no number kept", kStage15, 1.0f, {std::nullopt, ""}, kWholeChain, 1.4f, "1.500000 staged"},
    {"halted", "--@stage 1.5 1.4 0 - s15.zip\n", 1.0f, {0, ""}, kWholeChain, 1.4f, "1.500000 halted"},
    {"my channel", "--@stage 1.5 1.4 100 beta s15.zip\n", 1.0f, {std::nullopt, "beta"},
     {"p11.zip", "p12.zip", "p14.zip", "s15.zip"}, 1.5f, ""},
    {"another channel", "--@stage 1.5 1.4 100 beta s15.zip\n", 1.0f, {5, "alpha"}, kWholeChain, 1.4f,
     "1.500000 channel"},
    {"no channel", "--@stage 1.5 1.4 100 beta s15.zip\n", 1.0f, {5, ""}, kWholeChain, 1.4f,
     "1.500000 channel"},
    {"my channel, above my number", "--@stage 1.5 1.4 50 beta s15.zip\n", 1.0f, {50, "beta"},
     kWholeChain, 1.4f, "1.500000 staged"},
    {"staged from the chain's last", kStage15, 1.4f, {0, ""}, {"s15.zip"}, 1.5f, ""},
    {"a later chain release passes the staged one", kStage13, 1.2f, {0, ""}, {"p14.zip"}, 1.4f, ""},
    {"and the one it is withheld from", kStage13, 1.0f, {50, ""}, kWholeChain, 1.4f, ""},
    {"bridge to the chain", kStage13 + "--@bridge 1.3 1.4 b14.zip\n", 1.3f, {50, ""}, {"b14.zip"},
     1.4f, ""},
    {"from a halted version", "--@stage 1.3 1.2 0 - s13.zip\n--@bridge 1.3 1.4 b14.zip\n", 1.3f,
     {0, ""}, {"b14.zip"}, 1.4f, ""},
    {"the highest bridge", kStage13 + kStage15 + "--@bridge 1.3 1.4 b14.zip\n--@bridge 1.3 1.5 b15.zip\n",
     1.3f, {10, ""}, {"b15.zip"}, 1.5f, ""},
    {"no bridge to a withheld version", kStage13 + kStage15 +
     "--@bridge 1.3 1.4 b14.zip\n--@bridge 1.3 1.5 b15.zip\n", 1.3f, {50, ""}, {"b14.zip"}, 1.4f,
     "1.500000 staged"},
    {"bridge, then staged", kStage13 + kStage15 + "--@bridge 1.3 1.4 b14.zip\n", 1.3f, {10, ""},
     {"b14.zip", "s15.zip"}, 1.5f, ""},
    {"no way on from a staged version", kStage13, 1.3f, {10, ""}, {}, 0.0f, "1.400000 no-way"},
    {"widened to everyone", "--@stage 1.3 1.2 100 - s13.zip\n", 1.3f, {99, ""}, {"p14.zip"}, 1.4f, ""},
};
// clang-format on

std::string withheldOf(const VersionManifest& manifest) {
    const auto& withheld = manifest.withheld();
    if (!withheld) return "";
    constexpr const char* kReasons[] = {"staged", "halted", "channel", "no-way"};
    return gd::formatVersion(withheld->version) + " " +
           kReasons[static_cast<int>(withheld->reason)];
}

TEST(VersionOffer, TheWayOfOneInstallation) {
    for (const OfferCase& c : kOfferCases) {
        SCOPED_TRACE(c.name);
        const std::string script = kChain + c.rules;
        RecordingNotifier notifier;
        VersionManifest manifest;
        const float listed = gd::runVersionScript(notifier, script, c.installed, manifest);
        manifest.setRules(gd::parseVersionRules(script));
        EXPECT_FLOAT_EQ(gd::offerToAudience(manifest, c.audience, c.installed, listed), c.latest);
        EXPECT_EQ(archivesOf(manifest), c.way);
        EXPECT_EQ(withheldOf(manifest), c.withheld);
    }
}

}  // namespace

// What the publisher writes, read back by the engine that installations run:
// the version list and its rules, the record and the tree listing.
#include "publish/release_record.h"
#include "publish/tree_digest.h"

#include "script/notifier.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/content_hash.h"

#include <gtest/gtest.h>

namespace {

namespace pub = gd::publish;

pub::Release release(std::string version, std::string archive, std::string description) {
    pub::Release made;
    made.version = std::move(version);
    made.archive = std::move(archive);
    made.description = std::move(description);
    return made;
}

class SilentNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        shown += std::string(caption) + ": " + std::string(text);
    }
    std::string shown;
};

// Descriptions and names that Lua quoting must carry byte for byte.
TEST(ReleaseRecord, TheEngineReadsBackEveryLabelNameAndRuleAsWritten) {
    std::vector<pub::Release> releases = {
        release("1.1", "patch-1.1.zip", "2026/01/10"),
        release("1.2", "patch 1.2 %.zip", "quote \" back \\ slash"),
        release("1.25", "p\xe3\x83\x80.zip",
                "\x83\x5C cp932 \x01\x7f digit after \x01"
                "9"),
        release("2", "patch-2.zip", "]] --[[ not a comment"),
        release("2.5", "patch-2.5.zip", "staged: never in the chain"),
        release("3", "patch-3.zip", "after the staged one"),
    };
    releases[4].share = 20;
    releases[4].channel = "beta";
    releases[4].from = "2";
    releases[5].bridges = {{"2.5", "patch-3-from-2.5.zip"}};
    const pub::OfferedDelta delta{"1.1", "3", "delta 1.1%3.zip", gd::hashContent("d"), 1};
    const gd::ContentDigest pin = gd::digestOf(*gd::hashContent("archive"));
    const std::string ruleLines =
        pub::versionRulesText(releases, {delta}, {{"patch 1.2 %.zip", pin}});
    const std::string script = pub::versionScriptText(releases) + ruleLines;
    EXPECT_NE(ruleLines.find(
                  "--@stage 2.5 2 20 beta patch-2.5.zip\n--@bridge 2.5 3 patch-3-from-2.5.zip\n"),
              std::string::npos)
        << ruleLines;

    SilentNotifier notifier;
    gd::VersionManifest manifest;
    EXPECT_EQ(gd::runVersionScript(notifier, script, 1.0f, manifest), 3.0f);
    EXPECT_EQ(notifier.shown, "");
    std::erase_if(releases, [](const pub::Release& release) { return !release.general(); });
    ASSERT_EQ(manifest.entryCount(), releases.size());
    for (std::size_t i = 0; i < releases.size(); ++i) {
        EXPECT_EQ(manifest.entryAt(i).label, releases[i].description);
        EXPECT_EQ(manifest.entryAt(i).archive, releases[i].archive);
    }
    const gd::VersionRules rules = gd::parseVersionRules(script);
    ASSERT_EQ(rules.deltas.size(), 1u);
    EXPECT_EQ(rules.deltas[0].archive, delta.archive);
    EXPECT_EQ(rules.deltas[0].from, 1.1f);
    EXPECT_EQ(rules.deltas[0].digest, gd::digestOf(*delta.hash));
    EXPECT_EQ(rules.digestFor("patch 1.2 %.zip"), pin);
    EXPECT_EQ(pub::withoutRules(script), pub::versionScriptText(releases));  // the chain alone
}

TEST(ReleaseRecord, RefusesARecordThatCannotBeReplayed) {
    const std::string digest(128, 'a');
    const struct {
        std::string text;
        std::string error;  // empty: parses
    } rows[] = {
        {"# comment\n\n1.0\ta.zip\tfirst\r\n#tree 1.0 " + digest + "\n1.1\tb.zip\t\n", ""},
        {"1.1\ta.zip\tx\n1.1\tb.zip\ty\n", "line 2: version 1.1 is not newer"},
        {"1.9\ta.zip\tx\n1.10\tb.zip\ty\n", "line 2: version 1.10 is not newer"},  // floats
        {"1.0000001\ta.zip\tx\n", "reads back as another 32-bit float"},
        {"v1\ta.zip\tx\n", "digits with an optional fraction"},
        {"1.0\tsub/a.zip\tx\n", "a file name in the update directory"},
        {"1.0\t..\tx\n", "a file name in the update directory"},
        {"1.0 a.zip x\n", "expected VERSION<TAB>ARCHIVE<TAB>DESCRIPTION"},
        {"#tree 1.0 " + digest + "\n1.0\ta.zip\tx\n", "line 1: a tree digest must follow"},
        {"1.0\ta.zip\tx\n#tree 1.0 abc\n", "128 hexadecimal digits"},
        {"1.0\ta.zip\tx\n#staged 1.1\tb.zip\ty\t1.0\t0\t-\n#tree 1.1 " + digest +
             "\n1.2\tc.zip\tz\n#bridge 1.1 c-from-1.1.zip\n",
         ""},
        {"#staged 1.1\tb.zip\ty\t1.0\t20\tbeta\n", ""},
        {"#staged 1.1\tb.zip\ty\t1.0\t100\t-\n", "no staged release"},
        {"#staged 1.1\tb.zip\ty\t1.0\t101\t-\n", "SHARE (0 to 100)"},
        {"#staged 1.1\tb.zip\ty\t1.0\t5\tBeta!\n", "CHANNEL (a name, or -)"},
        {"#staged 1.1\tb.zip\ty\t20\t-\n", "expected #staged VERSION"},
        {"1.0\ta.zip\tx\n#bridge 1.0 b.zip\n", "line 2: a bridge is"},
    };
    for (const auto& row : rows) {
        std::string error;
        const auto releases = pub::parseRecord(row.text, error);
        EXPECT_EQ(releases.has_value(), row.error.empty()) << row.text;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.text << " -> " << error;
        if (releases) {
            EXPECT_EQ(pub::parseRecord(pub::recordText(*releases), error), releases);
        }
    }
}

TEST(ReleaseRecord, ATreeListingSurvivesItsTextWhateverThePathsHold) {
    const pub::TreeListing listing = {
        {"a b/c.txt", "f " + std::string(128, '1')},
        {"back\\slash", "x " + std::string(128, '2')},
        {"line\nbreak\rreturn", "f " + std::string(128, '3')},
        {"folder", "d"},
    };
    const auto back = pub::parseListing(pub::listingText(listing));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, listing);
    pub::TreeListing changed = listing;
    changed.erase("folder");
    changed["a b/c.txt"] = "f " + std::string(128, '4');
    changed["new"] = "d";
    EXPECT_NE(pub::listingDigest(changed), pub::listingDigest(listing));
    EXPECT_EQ(pub::listingDifferences(listing, changed, 2),
              (std::vector<std::string>{"changed a b/c.txt", "missing folder", "... and 1 more"}));
}

}  // namespace

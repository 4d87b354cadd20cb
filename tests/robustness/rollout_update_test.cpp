// Staged releases end to end: `gdtool update` against a real FTP server
// whose hand-written filelist.dat stages 1.3 for a share of installations,
// then adds the chain's 1.4 with a bridge and a delta archive from the
// staged 1.3. The installation below the share takes 1.3 and then the delta
// archive, a copy of it with a file changed falls back to the bridge, and the
// one above the share never sees 1.3 and goes from 1.2 to 1.4 on the chain.

#include "install/audience_settings.h"
#include "publish/delta_archive.h"
#include "publish/pack_archive.h"
#include "publish/patch_script.h"
#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "util/unique_fd.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Files = std::map<std::string, std::string>;
const std::string kData = gdtest::randomBytes(64 * 1024, 30);
const Files k12{{"readme.txt", "1.2"}, {"data.bin", kData}};
const Files k13{{"readme.txt", "1.3 staged"}, {"data.bin", kData + "staged"}, {"staged.txt", "s"}};
const Files k14{{"readme.txt", "1.4"}, {"data.bin", kData}};

void lay(const fs::path& dir, const Files& files) {
    fs::create_directories(dir);
    for (const auto& [name, bytes] : files) gdtest::writeFile(dir / name, bytes);
}

struct Ran {
    int code;
    std::string out, err;
};

class RolloutUpdate : public ::testing::Test {
  protected:
    fs::path tree(const std::string& version, const Files& files) {
        const fs::path dir = site_.root() / "trees" / version;
        lay(dir, files);
        return dir;
    }

    // As a release makes them: a whole-file archive (files/ and update.dat),
    // or a delta archive that rebuilds the changed files from the old ones.
    void archive(const std::string& name, const fs::path& from, const fs::path& to, bool delta) {
        std::vector<std::string> problems;
        const auto oldScan = gd::publish::scanTree(from, problems);
        const auto newScan = gd::publish::scanTree(to, problems);
        ASSERT_TRUE(oldScan && newScan && problems.empty());
        const auto diff = gd::publish::diffTrees(from, *oldScan, to, *newScan);
        const fs::path out = folder_ / name;
        if (delta) {
            const gd::UniqueFd fd(::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
            std::string error;
            ASSERT_TRUE(gd::publish::writeDeltaArchive(
                fd.get(), {from, *oldScan, to, *newScan, diff, "1.4"}, error))
                << error;
            return;
        }
        const fs::path payload = site_.root() / "payload" / name;
        for (const std::string& file : diff.shippedFiles)
            lay(payload / gd::publish::kPayloadFolder, {{file, gdtest::readFile(to / file)}});
        gdtest::writeFile(payload.string() + ".lua", gd::publish::patchScriptText(diff, name));
        ASSERT_FALSE(gd::publish::packArchive(out, payload.string() + ".lua", payload, problems));
    }

    fs::path install(const std::string& name) {
        const fs::path dir = site_.root() / "installs" / name;
        lay(dir, k12);
        site_.writeConfig(dir, "update");
        gdtest::writeEncrypted(dir / "version.dat", "1.200000,1.000000");
        return dir;
    }

    Ran gdtool(const std::vector<std::string>& args) {
        const fs::path tmp = site_.root() / "tmp", out = site_.root() / "out.txt",
                       err = site_.root() / "err.txt";
        fs::create_directories(tmp);
        gdtest::GdtoolRun run(args, tmp, out, err);
        const auto end = run.waitFor(120s);
        if (!end) run.kill();
        return {end && end->exited ? end->code : -1, run.output(), run.errors()};
    }

    void expectAt(const fs::path& dir, const std::string& version) {
        gdtest::Tree tree = gdtest::snapshotTree(dir);
        tree.erase("config.dat");
        tree.erase("version.dat");
        const fs::path expected = site_.root() / "trees" / version.substr(0, 3);
        EXPECT_EQ(gdtest::treeDifferences(gdtest::snapshotTree(expected), tree), "") << dir;
        EXPECT_EQ(gdtest::readDecrypted(dir / "version.dat").substr(0, 8), version) << dir;
    }

    gdtest::UpdateSite site_;
    fs::path folder_ = site_.serverFolder("update");
};

TEST_F(RolloutUpdate, StagedVersionThenBridgeOrTheChain) {
    const fs::path t12 = tree("1.2", k12), t13 = tree("1.3", k13), t14 = tree("1.4", k14);
    archive("s13.zip", t12, t13, false);
    archive("p14.zip", t12, t14, false);
    archive("b13-14.zip", t13, t14, false);
    archive("d13-14.zip", t13, t14, true);

    // Two installations with different numbers: the share lies between them.
    fs::path low = install("low"), high;
    auto lowNumber = gd::installationNumber(low.string()), highNumber = lowNumber;
    ASSERT_TRUE(lowNumber);
    for (int i = 0; highNumber == lowNumber; ++i) {
        high = install("high" + std::to_string(i));
        highNumber = gd::installationNumber(high.string());
    }
    ASSERT_TRUE(highNumber);
    if (*lowNumber > *highNumber) {
        std::swap(low, high);
        std::swap(lowNumber, highNumber);
    }
    const std::string share = std::to_string(*highNumber);
    const std::string stage = "--@stage 1.3 1.2 " + share + " - s13.zip\n";

    gdtest::writeEncrypted(folder_ / "filelist.dat",
                           "latest_version = 1.2\nfunction filelist() end\n" + stage);
    Ran ran = gdtool({"update", low.string()});
    EXPECT_EQ(ran.code, 0) << ran.err;
    expectAt(low, "1.300000");
    const std::string withheld = "withheld=1.300000: staged for " + share +
                                 "% of installations; this one is number " + share;
    ran = gdtool({"update", high.string()});
    EXPECT_NE(ran.out.find(withheld + "\nstatus=up-to-date"), std::string::npos) << ran.out;
    ran = gdtool({"check", high.string(), "--json"});
    EXPECT_NE(ran.out.find(R"({"type":"withheld","version":"1.300000","reason":"staged","share":)" +
                           share + R"(,"channel":"","text":"staged for )"),
              std::string::npos)
        << ran.out;
    expectAt(high, "1.200000");

    // 1.4 for everyone: from 1.2 on the chain, from the staged 1.3 through the
    // bridge, for which the delta archive stands in.
    const fs::path copy = site_.root() / "installs" / "copy";
    fs::copy(low, copy);
    gdtest::writeFile(copy / "data.bin", "changed by hand");
    gdtest::writeEncrypted(folder_ / "filelist.dat",
                           "latest_version = 1.4\nfunction filelist() patch.File('d', 1.4, "
                           "'p14.zip') end\n" +
                               stage +
                               "--@bridge 1.3 1.4 b13-14.zip\n--@delta 1.3 1.4 d13-14.zip\n");
    const auto bytes = [&](const char* name) {
        return "downloaded=" + std::to_string(fs::file_size(folder_ / name));
    };
    ran = gdtool({"update", low.string()});
    EXPECT_NE(ran.out.find(bytes("d13-14.zip")), std::string::npos) << ran.out << ran.err;
    expectAt(low, "1.400000");
    ran = gdtool({"update", copy.string()});
    EXPECT_NE(ran.err.find("not using d13-14.zip"), std::string::npos) << ran.err;
    expectAt(copy, "1.400000");
    ran = gdtool({"update", high.string()});
    EXPECT_NE(ran.out.find(bytes("p14.zip")), std::string::npos) << ran.out << ran.err;
    EXPECT_EQ(ran.out.find("withheld="), std::string::npos) << ran.out;
    expectAt(high, "1.400000");
}

}  // namespace

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
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
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
    EXPECT_NE(ran.out.find(withheld + "\ndownloaded=0\nstatus=up-to-date"), std::string::npos)
        << ran.out;
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
    // The delta archive (its head read first, then the whole of it), not the bridge.
    EXPECT_NE(ran.out.find("archive=d13-14.zip"), std::string::npos) << ran.out;
    EXPECT_EQ(ran.out.find("archive=b13-14.zip"), std::string::npos) << ran.out;
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

namespace {

// What a shell command prints on stdout.
std::string outputOf(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, got);
        ::pclose(pipe);
    }
    return out;
}

// A hundred installations, each with its own number, against one signed
// server that the publisher drives with gdtool alone: a staged release, a
// widening, a halt, a revert, a release widened to everyone and a channel.
class RolloutPopulation : public RolloutUpdate {
  protected:
    static constexpr int kInstallations = 100;

    void SetUp() override {
        ASSERT_EQ(gdtool({"keygen", key(".pub"), key(".sec")}).code, 0);
        std::istringstream lines(gdtest::readFile(key(".pub")));
        std::string line;
        std::getline(lines, line);
        std::getline(lines, line);
        config_ = site_.configText("update") + "DUREDOR_SIGN_KEY = '" + line + "'\n";
        // The bad release changes a little of a large file; the beta adds one.
        const std::string data = gdtest::randomBytes(256 * 1024, 40);
        const std::string bad = gdtest::randomBytes(512, 41) + data.substr(512);
        for (const auto& [version, files] : std::map<std::string, Files>{
                 {"1.1", {{"readme.txt", "1.1"}, {"data.bin", data}}},
                 {"1.2", {{"readme.txt", "1.2 bad"}, {"data.bin", bad}}},
                 {"1.4", {{"readme.txt", "1.4"}, {"data.bin", data}}},
                 {"1.5", {{"readme.txt", "1.5 beta"}, {"data.bin", data}, {"beta.txt", "b"}}}}) {
            const fs::path dir = tree(version, files);
            gdtest::writeFile(dir / "config.dat", gdtest::enciphered(config_));
        }
        for (int i = 0; i < kInstallations; ++i) {
            const fs::path dir = site_.root() / "installs" / std::to_string(i);
            fs::create_directories(dir.parent_path());
            fs::copy(site_.root() / "trees" / "1.1", dir, fs::copy_options::recursive);
            gdtest::writeEncrypted(dir / "version.dat", "1.100000,1.000000");
            const auto number = gd::installationNumber(dir.string());
            ASSERT_TRUE(number);
            installs_.push_back({dir, *number});
        }
    }

    std::string key(const char* suffix) const { return (site_.root() / "pub").string() + suffix; }

    Ran publish(std::vector<std::string> args) {
        args.insert(args.begin() + 1, folder_.string());
        args.insert(args.end(), {"--sign", key(".sec")});
        return gdtool(args);
    }

    // Updates every installation, ten at a time; the bytes each downloaded.
    std::vector<std::uint64_t> updateAll() {
        std::vector<std::uint64_t> bytes(installs_.size());
        const fs::path tmp = site_.root() / "tmp";
        fs::create_directories(tmp);
        for (std::size_t first = 0; first < installs_.size(); first += 10) {
            std::vector<std::unique_ptr<gdtest::GdtoolRun>> runs;
            for (std::size_t i = first; i < std::min(first + 10, installs_.size()); ++i) {
                const std::string name = std::to_string(i);
                runs.push_back(std::make_unique<gdtest::GdtoolRun>(
                    std::vector<std::string>{"update", installs_[i].dir.string()}, tmp,
                    site_.root() / ("out" + name), site_.root() / ("err" + name)));
            }
            for (std::size_t k = 0; k < runs.size(); ++k) {
                const auto end = runs[k]->waitFor(120s);
                EXPECT_TRUE(end && end->exited && end->code == 0) << runs[k]->errors();
                const std::string out = runs[k]->output();
                const auto at = out.rfind("downloaded=");
                bytes[first + k] = at == std::string::npos ? 0 : std::stoull(out.substr(at + 11));
            }
        }
        return bytes;
    }

    std::string versionOf(std::size_t i) const {
        return gdtest::readDecrypted(installs_[i].dir / "version.dat").substr(0, 8);
    }

    struct Installation {
        fs::path dir;
        int number;
    };
    std::vector<Installation> installs_;
    std::string config_;
};

TEST_F(RolloutPopulation, EachInstallationTakesWhatItsNumberAndChannelOffer) {
    ASSERT_EQ(publish({"release", tree("1.0", {}).string(), (site_.root() / "trees/1.1").string(),
                       "1.1", "--change-keys"})
                  .code,
              0);
    const fs::path trees = site_.root() / "trees";
    Ran ran = publish(
        {"release", (trees / "1.1").string(), (trees / "1.2").string(), "1.2", "--rollout", "20"});
    ASSERT_EQ(ran.code, 0) << ran.err;
    // The same fifth, run after run: exactly those whose number is below 20.
    int reached = 0;
    for (int round = 0; round < 2; ++round) {
        updateAll();
        reached = 0;
        for (std::size_t i = 0; i < installs_.size(); ++i) {
            EXPECT_EQ(versionOf(i), installs_[i].number < 20 ? "1.200000" : "1.100000") << i;
            reached += installs_[i].number < 20;
        }
    }
    EXPECT_GT(reached, 5);
    EXPECT_LT(reached, 40);
    ASSERT_EQ(publish({"rollout", "1.2", "30"}).code, 0);
    updateAll();
    for (std::size_t i = 0; i < installs_.size(); ++i)
        EXPECT_EQ(versionOf(i), installs_[i].number < 30 ? "1.200000" : "1.100000") << i;
    ASSERT_EQ(publish({"rollout", "1.2", "0"}).code, 0);
    updateAll();
    for (std::size_t i = 0; i < installs_.size(); ++i)
        EXPECT_EQ(versionOf(i), installs_[i].number < 30 ? "1.200000" : "1.100000") << i;

    // The revert: the takers come back in one small step, the others take
    // an archive of nothing, and nobody downloads the bad release.
    ASSERT_EQ(publish({"revert", "1.3", "--to", "1.1"}).code, 0);
    const std::uint64_t bad = fs::file_size(folder_ / "patch-1.2.zip");
    const std::vector<std::uint64_t> bytes = updateAll();
    std::uint64_t takers = 0, others = 0;
    for (std::size_t i = 0; i < installs_.size(); ++i) {
        EXPECT_EQ(versionOf(i), "1.300000") << i;
        gdtest::Tree tree = gdtest::snapshotTree(installs_[i].dir);
        tree.erase("version.dat");
        EXPECT_EQ(gdtest::treeDifferences(gdtest::snapshotTree(trees / "1.1"), tree), "") << i;
        const bool taker = installs_[i].number < 30;
        (taker ? takers : others) = std::max(taker ? takers : others, bytes[i]);
    }
    std::cout << "revert: at most " << takers << " bytes for a taker of the bad release, " << others
              << " for the others (the bad release's archive: " << bad << ")\n";
    EXPECT_LT(takers, 8 * 1024u);
    EXPECT_LT(others, 1024u);

    // A release staged and then widened to everyone reaches everyone; the
    // original launcher's reading of the list sees it only then.
    ASSERT_EQ(publish({"release", (trees / "1.1").string(), (trees / "1.4").string(), "1.4",
                       "--rollout", "10"})
                  .code,
              0);
    const auto stockChain = [&] {
        gdtest::writeFile(site_.root() / "list.lua",
                          gdtest::readDecrypted(folder_ / "filelist.dat") +
                              "\npatch = {File = function(l, v, a) io.write(a, ' ') end}\n"
                              "filelist(latest_version)\n");
        return outputOf("lua5.1 " + gdtest::shellQuoted(site_.root() / "list.lua"));
    };
    EXPECT_EQ(stockChain(), "patch-1.1.zip patch-1.3.zip ");
    ASSERT_EQ(publish({"rollout", "1.4", "100"}).code, 0);
    EXPECT_EQ(stockChain(), "patch-1.1.zip patch-1.3.zip patch-1.4.zip ");
    updateAll();
    for (std::size_t i = 0; i < installs_.size(); ++i) EXPECT_EQ(versionOf(i), "1.400000") << i;

    // A channel: only the installations that opted in.
    for (std::size_t i = 0; i < 10; ++i)
        ASSERT_EQ(gdtool({"channel", installs_[i].dir.string(), "beta"}).code, 0);
    ASSERT_EQ(publish({"release", (trees / "1.4").string(), (trees / "1.5").string(), "1.5",
                       "--channel", "beta"})
                  .code,
              0);
    updateAll();
    for (std::size_t i = 0; i < installs_.size(); ++i)
        EXPECT_EQ(versionOf(i), i < 10 ? "1.500000" : "1.400000") << i;

    // A rule edited on the server breaks the list's signature.
    std::string list = gdtest::readDecrypted(folder_ / "filelist.dat");
    list.replace(list.find(" 100 beta "), 10, " 100 -    ");
    gdtest::writeEncrypted(folder_ / "filelist.dat", list);
    ran = gdtool({"update", installs_[50].dir.string()});
    EXPECT_NE(ran.code, 0);
    EXPECT_NE(ran.err.find("signature of filelist.dat refused"), std::string::npos) << ran.err;
    EXPECT_EQ(versionOf(50), "1.400000");
}

}  // namespace

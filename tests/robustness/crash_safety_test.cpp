// Kills `gdtool update` at random moments of an update from 1.0 to 1.3 and
// restarts it until it completes: whatever the moment, the installation must
// end byte for byte at 1.3, and version.dat must always hold two numbers.
//
// GD_CRASH_SEED=N repeats a run's choice of moments (timing still varies);
// GD_CRASH_TRIALS=N changes the number of trials (50).

#include "robustness/gdtool_run.h"
#include "robustness/run_phase.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "script/script_cipher.h"
#include "support/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::enciphered;
using gdtest::randomBytes;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using gdtest::RunPhase;

constexpr int kDefaultTrials = 50;
constexpr int kMaxKillsPerTrial = 4;
constexpr int kMaxRunsPerTrial = 12;
// A healthy run takes at most a few seconds, also under the sanitizers with
// four trials sharing two cores (6 s, watched phase by phase), so a run past
// this is stuck: it is then described thread by thread before it is killed.
constexpr auto kRunLimit = 60s;
// Slow enough that downloads take most of an update, fast enough that 50
// trials stay within a few minutes.
constexpr std::uint64_t kRateLimit = 24 * 1024 * 1024;
constexpr std::array kTargetPhases = {RunPhase::Download, RunPhase::Unpack, RunPhase::Script,
                                      RunPhase::Operations, RunPhase::VersionWrite};

unsigned envNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

void put(const fs::path& path, std::string_view bytes, mode_t mode = 0644) {
    fs::create_directories(path.parent_path());
    gdtest::writeFile(path, bytes);
    ::chmod(path.c_str(), mode);
}

// Contents of the installation's files at 1.0 and what the archives bring.
struct Contents {
    std::string launcher = randomBytes(300 * 1024, 1);
    std::string oldStepTool = randomBytes(64 * 1024, 2);
    std::string newStepTool = randomBytes(8 * 1024 * 1024 + 4321, 3);
    std::string oldReadme = "readme 1.0\n";
    std::string newReadme = "readme 1.1\n";
    std::string oldVoice = randomBytes(100 * 1024, 4);
    std::string keptVoice = randomBytes(50 * 1024, 5);
    std::string motion = randomBytes(3 * 1024 * 1024, 6);
    std::string motionIndex = "hiphop.mot\n";
    std::string cap = randomBytes(200 * 1024, 7);
    std::string helper = "#!/bin/sh\necho helper\n";
};

// 1.1 (Info-ZIP zip): nested folders, one level per mkdir, and copies into them.
constexpr const char* kScript110 = R"(function updater()
    update.mkdir("data\\motion")
    update.mkdir("data\\motion\\dance")
    update.mkdir("data\\motion\\dance\\hiphop")
    update.copy("files\\motion\\hiphop.mot", "data\\motion\\dance\\hiphop\\hiphop.mot")
    update.copy("files/motion/index.txt", "data/motion/index.txt")
    update.copy("files\\readme.txt", "readme.txt")
end)";
// 1.2 (Python's zipfile): a script that thinks for a while, a delete, a copy.
constexpr const char* kScript120 = R"(function updater()
    local started, sum = os.clock(), 0
    while os.clock() - started < 0.15 do sum = sum + 1 end
    update.delete("data\\voice\\old.wav")
    update.mkdir("data\\costume")
    update.copy("costume\\cap.dat", "data\\costume\\cap.dat")
    update.mkdir("data\\costume")
end)";
// 1.3 (gdtool pack): the replaced executable of several MiB and a new tool.
constexpr const char* kScript130 = R"(function updater()
    update.copy("bin/StepTool", "StepTool")
    update.mkdir("tools")
    update.copy("bin/helper.sh", "tools\\helper.sh")
end)";

class CrashSafetyTest : public ::testing::Test {
  protected:
    CrashSafetyTest() : site_(kRateLimit) {
        fs::create_directories(tmpDir());
        fs::create_directories(logs());
        buildInstallation();
        buildArchives();
        expected_ = expectedTree();
        before_ = surroundings();
    }

    fs::path stage() const { return site_.root() / "stage"; }
    fs::path pristine() const { return site_.root() / "pristine"; }
    fs::path install() const { return site_.root() / "install"; }
    fs::path tmpDir() const { return site_.root() / "tmp"; }
    fs::path logs() const { return site_.root() / "logs"; }

    void buildInstallation() {
        const fs::path dir = pristine();
        fs::create_directories(dir);
        site_.writeConfig(dir, "update");
        put(dir / "version.dat", enciphered("1.000000,1.000000"));
        put(dir / "GrooveDeck", c_.launcher, 0755);
        put(dir / "StepTool", c_.oldStepTool, 0755);
        put(dir / "readme.txt", c_.oldReadme);
        put(dir / "data/voice/old.wav", c_.oldVoice);
        put(dir / "data/voice/keep.wav", c_.keptVoice);
    }

    void buildArchives() {
        const fs::path server = site_.serverFolder("update");
        const fs::path a = stage() / "110", b = stage() / "120", c = stage() / "130";
        put(a / "update.dat", enciphered(kScript110));
        put(a / "files/motion/hiphop.mot", c_.motion);
        put(a / "files/motion/index.txt", c_.motionIndex);
        put(a / "files/readme.txt", c_.newReadme);
        ASSERT_EQ(gdtest::runShell("cd " + gdtest::shellQuoted(a) + " && zip -qrX " +
                                   gdtest::shellQuoted(server / "p110.zip") + " ."),
                  0);

        put(b / "update.dat", enciphered(kScript120));
        put(b / "costume/cap.dat", c_.cap);
        ASSERT_EQ(gdtest::runShell("/usr/bin/python3 " + gdtest::shellQuoted(GD_ARCHIVE_MAKER) +
                                   " zipdir " + gdtest::shellQuoted(server / "p120.zip") + " " +
                                   gdtest::shellQuoted(b)),
                  0);

        put(c / "script.lua", kScript130);
        put(c / "files/bin/StepTool", c_.newStepTool, 0755);
        put(c / "files/bin/helper.sh", c_.helper, 0755);
        ASSERT_EQ(gdtest::runShell(std::string(GD_GDTOOL_PATH) + " pack " +
                                   gdtest::shellQuoted(server / "p130.zip") + " " +
                                   gdtest::shellQuoted(c / "script.lua") + " " +
                                   gdtest::shellQuoted(c / "files")),
                  0);
        gdtest::serveVersionScript(
            server, "1.3",
            {"'2026/01/10', 1.1, 'p110.zip'", "'2026/02/10', '1.2', 'p120.zip'",
             "'2026/03/10', 1.3, 'p130.zip'"});
    }

    // The installation at 1.3, written down independently of the engine.
    gdtest::Tree expectedTree() const {
        gdtest::Tree tree = gdtest::snapshotTree(pristine());
        const auto file = [&tree](const std::string& path, std::string bytes, bool exec = false) {
            tree[path] = {gdtest::TreeNode::Kind::File, std::move(bytes), exec};
        };
        const auto folder = [&tree](const std::string& path) {
            tree[path] = {gdtest::TreeNode::Kind::Directory, {}, false};
        };
        file("version.dat", enciphered("1.300000,1.000000"));
        file("readme.txt", c_.newReadme);
        file("StepTool", c_.newStepTool, true);
        tree.erase("data/voice/old.wav");
        folder("data/motion");
        folder("data/motion/dance");
        folder("data/motion/dance/hiphop");
        file("data/motion/dance/hiphop/hiphop.mot", c_.motion);
        file("data/motion/index.txt", c_.motionIndex);
        folder("data/costume");
        file("data/costume/cap.dat", c_.cap);
        folder("tools");
        file("tools/helper.sh", c_.helper, true);
        return tree;
    }

    void freshInstallation() {
        fs::remove_all(install());
        fs::copy(pristine(), install(), fs::copy_options::recursive);
    }

    std::set<std::string> runDirectories() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmpDir())) names.insert(entry.path());
        return names;
    }

    // The private directory that the current run made, if any yet.
    fs::path ownRunDirectory(const std::set<std::string>& before) const {
        for (const std::string& dir : runDirectories())
            if (!before.contains(dir)) return dir;
        return {};
    }

    // Everything in the site but the installation, the runs' temporary
    // directory and their logs: nothing there may change.
    gdtest::Tree surroundings() const {
        gdtest::Tree tree = gdtest::snapshotTree(site_.root(), false);
        std::erase_if(tree, [](const auto& node) {
            const std::string& path = node.first;
            for (const char* own : {"install", "tmp", "logs"}) {
                if (path == own || path.starts_with(std::string(own) + "/")) return true;
            }
            return false;
        });
        return tree;
    }

    struct KillPlan {
        enum class Kind { None, AtTime, InPhase };
        Kind kind = Kind::None;
        Clock::duration delay{};  // AtTime: the moment; InPhase: when watching starts
        RunPhase phase = RunPhase::Check;
    };

    struct RunResult {
        std::optional<gdtest::RunEnd> end;  // empty when the run was killed
        RunPhase phase = RunPhase::Check;   // of the kill
    };

    // Runs `gdtool update` once and kills it as planned.
    RunResult runOnce(const KillPlan& plan) {
        const std::set<std::string> before = runDirectories();
        gdtest::GdtoolRun run({"update", install().string()}, tmpDir(), logs() / "out.txt",
                              logs() / "err.txt");
        const auto deadline = Clock::now() + kRunLimit;
        RunResult result;
        const auto finish = [&](std::optional<gdtest::RunEnd> end) {
            result.end = end;
            const std::string where = end ? "" : run.threadStates();
            if (!end) run.kill();
            lastOutput_ = run.output() + run.errors();
            if (!end)
                ADD_FAILURE() << "gdtool update ran longer than " << kRunLimit.count()
                              << " s; its threads:\n"
                              << where << "it printed:\n"
                              << lastOutput_;
            return result;
        };
        if (plan.kind == KillPlan::Kind::None)
            return finish(
                run.waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(kRunLimit)));
        const auto startWait = std::chrono::duration_cast<std::chrono::milliseconds>(plan.delay);
        if (auto end = run.waitFor(startWait)) return finish(end);
        while (Clock::now() < deadline) {
            if (!run.freeze()) return finish(run.waitFor(0ms));
            result.phase = gdtest::observePhase(run, install(), ownRunDirectory(before));
            if (plan.kind == KillPlan::Kind::AtTime || result.phase == plan.phase) {
                run.kill();
                lastOutput_ = run.output() + run.errors();
                return result;
            }
            run.thaw();
            if (auto end = run.waitFor(1ms)) return finish(end);
        }
        return finish(std::nullopt);
    }

    // What must hold at every moment: version.dat holds "%f,%f" of a version
    // the update passes through, never going back, and every file is whole
    // (its content at 1.0 or at 1.3). Files of neither state are counted.
    void checkMoment(const std::string& where, double& lastVersion) {
        static const std::regex kVersionText(R"([0-9]+\.[0-9]{6},[0-9]+\.[0-9]{6})");
        const std::string text = gdtest::readDecrypted(install() / "version.dat");
        ASSERT_TRUE(std::regex_match(text, kVersionText)) << where << ": \"" << text << "\"";
        const std::set<std::string> known = {"1.000000,1.000000", "1.100000,1.000000",
                                             "1.200000,1.000000", "1.300000,1.000000"};
        EXPECT_TRUE(known.contains(text)) << where << ": " << text;
        const double version = std::stod(text);
        EXPECT_GE(version, lastVersion) << where;
        lastVersion = version;

        for (const auto& [path, node] : gdtest::snapshotTree(install())) {
            if (node.kind != gdtest::TreeNode::Kind::File || path == "version.dat") continue;
            const auto old = pristineTree_.find(path), now = expected_.find(path);
            const bool whole = (old != pristineTree_.end() && old->second.bytes == node.bytes) ||
                               (now != expected_.end() && now->second.bytes == node.bytes);
            if (whole) continue;
            if (old == pristineTree_.end() && now == expected_.end()) {
                straysSeen_.insert(path);
            } else {
                ADD_FAILURE() << where << ": " << path << " is neither old nor new ("
                              << node.bytes.size() << " bytes)";
            }
        }
    }

    Contents c_;
    gdtest::UpdateSite site_;
    gdtest::Tree expected_;
    gdtest::Tree pristineTree_;
    gdtest::Tree before_;
    std::string lastOutput_;
    std::set<std::string> straysSeen_;
};

struct Tally {
    int runs = 0;
    int kills = 0;
    int leftoverDirectories = 0;
    std::array<int, gdtest::kRunPhaseCount> byPhase{};
};

TEST_F(CrashSafetyTest, EveryKilledUpdateEndsAtTheLatestTree) {
    const unsigned seed = envNumber("GD_CRASH_SEED", std::random_device{}());
    const int trials = static_cast<int>(envNumber("GD_CRASH_TRIALS", kDefaultTrials));
    std::cout << "crash-safety seed " << seed << " (GD_CRASH_SEED to repeat), " << trials
              << " trials\n";
    std::mt19937 random(seed);
    const auto started = Clock::now();
    pristineTree_ = gdtest::snapshotTree(pristine());

    // One undisturbed update: the reference duration, and the oracle's check.
    freshInstallation();
    const auto calibration = Clock::now();
    const RunResult clean = runOnce({});
    const auto duration = Clock::now() - calibration;
    ASSERT_TRUE(clean.end && clean.end->exited && clean.end->code == 0) << lastOutput_;
    ASSERT_EQ(gdtest::treeDifferences(expected_, gdtest::snapshotTree(install())), "");
    std::cout << "an undisturbed update takes "
              << std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() << " ms\n";

    Tally tally;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto within = [&](double from, double to) {
        return std::chrono::duration_cast<Clock::duration>(duration *
                                                           (from + (to - from) * unit(random)));
    };
    for (int trial = 0; trial < trials; ++trial) {
        freshInstallation();
        // Even trials: the first kill at a moment spread over the whole update.
        // Odd trials: the first kill once the run is seen in a chosen phase.
        KillPlan plan;
        if (trial % 2 == 0) {
            const int strata = (trials + 1) / 2;
            plan = {KillPlan::Kind::AtTime,
                    within(double(trial / 2) / strata, double(trial / 2 + 1) / strata)};
        } else {
            plan = {KillPlan::Kind::InPhase, within(0.0, 0.6),
                    kTargetPhases[(trial / 2) % kTargetPhases.size()]};
        }
        double lastVersion = 1.0;
        int kills = 0;
        bool done = false;
        for (int run = 0; run < kMaxRunsPerTrial && !done; ++run) {
            const RunResult result = runOnce(plan);
            ++tally.runs;
            const std::string where = "trial " + std::to_string(trial) + " run " +
                                      std::to_string(run) + " (seed " + std::to_string(seed) + ")";
            if (result.end) {
                ASSERT_TRUE(result.end->exited && result.end->code == 0)
                    << where << " ended with " << result.end->code << "/" << result.end->signal
                    << "\n"
                    << lastOutput_;
                done = true;
            } else {
                ++kills;
                ++tally.byPhase[static_cast<int>(result.phase)];
            }
            checkMoment(where, lastVersion);
            if (HasFatalFailure()) return;
            // Later runs: a kill at any moment of an update, or none.
            plan = kills < kMaxKillsPerTrial && unit(random) < 0.5
                       ? KillPlan{KillPlan::Kind::AtTime, within(0.0, 1.0)}
                       : KillPlan{};
        }
        ASSERT_TRUE(done) << "trial " << trial << " never completed";
        tally.kills += kills;
        EXPECT_EQ(gdtest::treeDifferences(expected_, gdtest::snapshotTree(install())), "")
            << "trial " << trial << " (seed " << seed << ")";
        EXPECT_EQ(gdtest::treeDifferences(before_, surroundings()), "") << "trial " << trial;
        // Killed runs leave their private directories, which the next run
        // removes; the completed one leaves none.
        const std::set<std::string> left = runDirectories();
        EXPECT_EQ(left.size(), 0u) << "trial " << trial;
        tally.leftoverDirectories += static_cast<int>(left.size());
        for (const std::string& dir : left) {
            EXPECT_EQ(fs::path(dir).filename().string().rfind("groovedeck-update-", 0), 0u) << dir;
            fs::remove_all(dir);
        }
    }

    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count() /
        1000.0;
    std::cout << trials << " trials, " << tally.runs << " runs, " << tally.kills << " kills, "
              << seconds << " s; kills by phase:";
    for (int phase = 0; phase < gdtest::kRunPhaseCount; ++phase)
        std::cout << " " << gdtest::phaseName(static_cast<RunPhase>(phase)) << " "
                  << tally.byPhase[phase] << ";";
    std::cout << "\n"
              << tally.leftoverDirectories
              << " private directories left behind by killed runs; files seen at a moment that "
                 "are in neither tree: "
              << straysSeen_.size() << "\n";
    for (const std::string& stray : straysSeen_) std::cout << "  " << stray << "\n";
    for (const RunPhase phase : kTargetPhases)
        EXPECT_GT(tally.byPhase[static_cast<int>(phase)], 0)
            << "no kill landed in " << gdtest::phaseName(phase);
}

}  // namespace

// Every program that places files in an installation, recorded with strace
// and replayed against a model of the disk (durability_trace): a file is
// durable before the rename that gives it its name, its folder is synced
// after, and version.dat is named only once everything before it is durable.
// Killed processes cannot show a missing sync; the order of the calls does.
// The update takes both ways an archive is unpacked (streamed, and the whole
// file) and every way a file is placed (copied, moved, the staged launcher);
// lcopy then replaces the launcher; the package's start command lays out a
// user's copy and refreshes it.

#include "robustness/durability_trace.h"
#include "robustness/update_site.h"
#include "script/script_cipher.h"
#include "support/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::shellQuoted;

void put(const fs::path& path, std::string_view bytes, mode_t mode = 0644) {
    fs::create_directories(path.parent_path());
    gdtest::writeFile(path, bytes);
    ::chmod(path.c_str(), mode);
}

constexpr const char* kLauncherStub = "#!/bin/sh\nexit 0\n";

// 1.1 streams: the first copy of a file copies it, the last one moves it.
constexpr const char* kScript110 = R"(function updater()
    update.mkdir("data") update.mkdir("data\\sub")
    update.copy("files/a.txt", "data/sub/a.txt")
    update.copy("files/a.txt", "a-again.txt")
    update.copy("files/b.bin", "b.bin")
end)";
// 1.2 has something before its first entry, so it is unpacked from the whole
// file; it moves a file and stages a new launcher.
constexpr const char* kScript120 = R"(function updater()
    update.copy("c.txt", "data/c.txt")
    update.launcherupdate()
end)";

class DurabilityOrderTest : public ::testing::Test {
  protected:
    DurabilityOrderTest() : root_(fs::canonical(site_.root())) {
        fs::create_directories(root_ / "tmp");
        fs::create_directory(root_ / "run");
        ::chmod((root_ / "run").c_str(), 0700);
    }

    fs::path install() const { return root_ / "install"; }

    // Runs `command` under strace with `environment` before it; its exit code.
    int traced(const std::string& name, const std::string& environment,
               const std::string& command) const {
        // LeakSanitizer stops the threads of the process it checks with
        // ptrace, which cannot be done to a process that strace traces.
        const std::string sanitizer = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 ";
        return gdtest::runShell("cd " + shellQuoted(root_) + " && " + sanitizer + environment +
                                " " + gdtest::tracedCommand(root_ / (name + ".trace")) + command +
                                " > " + name + ".out 2>&1");
    }

    std::string output(const std::string& name) const {
        return gdtest::readFile(root_ / (name + ".out"));
    }

    // The report of the trace `name`, with every problem as a test failure.
    gdtest::DurabilityReport check(const std::string& name, const fs::path& published) const {
        auto report = gdtest::checkDurability(root_ / (name + ".trace"), {published}, root_);
        for (const std::string& problem : report.problems) ADD_FAILURE() << name << ": " << problem;
        return report;
    }

    void buildServer() {
        const fs::path server = site_.serverFolder("update");
        const fs::path a = root_ / "stage/110", b = root_ / "stage/120";
        put(a / "update.dat", gdtest::enciphered(kScript110));
        put(a / "files/a.txt", "a, twice\n");
        put(a / "files/b.bin", gdtest::randomBytes(300 * 1024, 1));
        ASSERT_EQ(gdtest::runShell("cd " + shellQuoted(a) + " && zip -qrX " +
                                   shellQuoted(server / "p110.zip") + " ."),
                  0);
        put(b / "update.dat", gdtest::enciphered(kScript120));
        put(b / "c.txt", gdtest::randomBytes(100 * 1024, 2));
        put(b / "GrooveDeck", kLauncherStub, 0755);
        ASSERT_EQ(gdtest::runShell("cd " + shellQuoted(b) + " && zip -qrX ../120.zip . && " +
                                   "printf stub | cat - ../120.zip > " +
                                   shellQuoted(server / "p120.zip") + " && zip -qA " +
                                   shellQuoted(server / "p120.zip")),
                  0);
        gdtest::serveVersionScript(server, "1.2", {"'a', 1.1, 'p110.zip'", "'b', 1.2, 'p120.zip'"});
    }

    void buildInstallation() {
        fs::create_directories(install());
        site_.writeConfig(install(), "update");
        put(install() / "version.dat", gdtest::enciphered("1.000000,1.000000"));
        put(install() / "GrooveDeck", kLauncherStub, 0755);
    }

    // The package's start command beside a pristine installation, as the
    // package lays them out.
    void buildPackage(const std::string& version) {
        const fs::path pristine = root_ / "package/lib/groovedeck";
        put(pristine / "GrooveDeck", kLauncherStub, 0755);
        put(pristine / "version.dat", gdtest::enciphered(version + ",1.000000"));
        put(pristine / "readme.txt", "readme " + version);
        put(pristine / "data/motion/m.bin", gdtest::randomBytes(64 * 1024, 3));
        put(pristine / "data/voice/v.bin", gdtest::randomBytes(64 * 1024, 4));
        fs::create_directories(root_ / "package/bin");
        fs::copy_file(GD_START_PATH, root_ / "package/bin/groovedeck",
                      fs::copy_options::overwrite_existing);
    }

    gdtest::UpdateSite site_;
    fs::path root_;
};

// The paths named in `published` by the trace, each with where it came from.
std::vector<std::string> placedNames(const gdtest::DurabilityReport& report, const fs::path& base,
                                     const fs::path& comingFrom) {
    std::vector<std::string> names;
    for (const gdtest::Placement& placement : report.placements)
        if (placement.from.starts_with(comingFrom.string() + "/"))
            names.push_back(fs::path(placement.path).lexically_relative(base).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(DurabilityOrderTest, EveryFileIsDurableBeforeItsNameAndVersionDatComesLast) {
    ASSERT_EQ(gdtest::runShell("strace -V > /dev/null 2>&1"), 0)
        << "strace is missing (scripts/install-deps installs it)";
    buildServer();
    buildInstallation();

    // The update: copies from the run's folder, moves out of it, and the
    // staged launcher; gdtool asks for lcopy at the end.
    ASSERT_EQ(traced("update", "TMPDIR=tmp", std::string(GD_GDTOOL_PATH) + " update install"), 4)
        << output("update");
    const auto update = check("update", install());
    EXPECT_EQ(placedNames(update, install(), root_ / "tmp"),
              (std::vector<std::string>{"a-again.txt", "b.bin", "data/c.txt"}));
    EXPECT_EQ(placedNames(update, install(), install()),
              (std::vector<std::string>{"GrooveDeck.new", "data/sub/a.txt", "version.dat",
                                        "version.dat"}));
    EXPECT_NE(gdtest::readFile(root_ / "update.trace").find("/patch-1.zip"), std::string::npos)
        << "1.2 was to be unpacked from the whole file";

    // lcopy puts the staged launcher in place.
    ASSERT_EQ(traced("lcopy", "XDG_RUNTIME_DIR=run LCOPY_WAIT_SECONDS=10",
                     std::string(GD_LCOPY_PATH) + " " + shellQuoted(install() / "GrooveDeck.new") +
                         " " + shellQuoted(install() / "GrooveDeck")),
              0)
        << output("lcopy");
    EXPECT_EQ(placedNames(check("lcopy", install()), install(), install()),
              std::vector<std::string>{"GrooveDeck"});
    // The placed launcher is the unnamed file that lcopy wrote and synced:
    // the same trace without the syncs of that file names it.
    std::istringstream trace(gdtest::readFile(root_ / "lcopy.trace"));
    std::string unsynced;
    for (std::string line; std::getline(trace, line);)
        if (line.find("fsync(") == std::string::npos || line.find("/#") == std::string::npos)
            unsynced += line + "\n";
    gdtest::writeFile(root_ / "lcopy-unsynced.trace", unsynced);
    const auto problems =
        gdtest::checkDurability(root_ / "lcopy-unsynced.trace", {install()}, root_).problems;
    const std::string placed = "the data of " + (install() / "GrooveDeck").string() + " was not";
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
        return problem.find(placed) != std::string::npos;
    }));

    // The start command: a first copy for the user, then a refresh from a
    // newer package.
    const std::string user =
        "HOME=" + (root_ / "home").string() + " XDG_DATA_HOME=" + (root_ / "home/share").string() +
        " XDG_CONFIG_HOME=" + (root_ / "home/config").string() + " XDG_RUNTIME_DIR=run";
    const fs::path copy = root_ / "home/share/groovedeck";
    buildPackage("1.000000");
    ASSERT_EQ(traced("first-start", user, "package/bin/groovedeck"), 0) << output("first-start");
    EXPECT_EQ(placedNames(check("first-start", copy), copy, root_ / "home/share"),
              std::vector<std::string>{"."});
    buildPackage("1.100000");
    ASSERT_EQ(traced("refresh", user, "package/bin/groovedeck"), 0) << output("refresh");
    const auto refresh = check("refresh", copy);
    EXPECT_EQ(placedNames(refresh, copy, copy),
              (std::vector<std::string>{"GrooveDeck", "data/motion/m.bin", "data/voice/v.bin",
                                        "readme.txt", "version.dat"}));
    EXPECT_EQ(gdtest::readFile(copy / "readme.txt"), "readme 1.100000");
}

}  // namespace

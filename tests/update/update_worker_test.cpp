#include "update/update_worker.h"

#include "fetch/ftp_session.h"
#include "fetch/source_probe.h"
#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"
#include "update/disk_budget.h"
#include "update/installation_lock.h"
#include "update/run_directory.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gd::UpdateReportCode;
using gdtest::FtpFault;
using gdtest::randomBytes;

class RecordingFrontEnd : public gd::Notifier, public gd::UpdateReporter {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        std::lock_guard lock(mutex_);
        messages.push_back(std::string(caption) + ": " + std::string(text));
    }
    void refused(std::string_view reason) override {
        std::lock_guard lock(mutex_);
        refusals.emplace_back(reason);
    }
    void OnUpdateReport(const gd::UpdateReport& report) override {
        std::lock_guard lock(mutex_);
        reports.push_back(report);
        if (report.code == UpdateReportCode::Downloading && report.travelled > 0 &&
            !watchedTemp.empty())
            runDirectoryWhileDownloading.push_back(runDirectoryNames());
    }
    // What the run's private directory below watchedTemp holds.
    std::set<std::string> runDirectoryNames() const {
        std::set<std::string> names;
        for (const auto& run : fs::directory_iterator(watchedTemp))
            for (const auto& entry : fs::directory_iterator(run.path()))
                names.insert(entry.path().filename().string());
        return names;
    }
    std::vector<UpdateReportCode> codesExceptDownloads() const {
        std::vector<UpdateReportCode> codes;
        for (const gd::UpdateReport& report : reports)
            if (report.code != UpdateReportCode::Downloading) codes.push_back(report.code);
        return codes;
    }
    std::vector<std::string> steps() const {
        std::vector<std::string> texts;
        for (const gd::UpdateReport& report : reports)
            if (report.code == UpdateReportCode::Step) texts.push_back(report.text);
        return texts;
    }
    // "archive version" of each report of `code`.
    std::vector<std::string> archivesOf(UpdateReportCode code) const {
        std::vector<std::string> named;
        for (const gd::UpdateReport& report : reports)
            if (report.code == code)
                named.push_back(report.archive + " " + gd::formatVersion(report.archiveVersion));
        return named;
    }

    std::vector<gd::UpdateReport> reports;
    std::vector<std::string> messages;
    std::vector<std::string> refusals;
    // When set, the run directory is looked at on each report of bytes that travelled.
    fs::path watchedTemp;
    std::vector<std::set<std::string>> runDirectoryWhileDownloading;

  private:
    std::mutex mutex_;
};

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A patch archive made by Info-ZIP's zip from a folder of files and a script.
class ArchiveBuilder {
  public:
    ArchiveBuilder& script(std::string_view lua) {
        gdtest::writeEncrypted(stage_.path() / "update.dat", lua);
        return *this;
    }
    ArchiveBuilder& file(const std::string& name, std::string_view data, mode_t mode = 0644) {
        const fs::path path = stage_.path() / name;
        fs::create_directories(path.parent_path());
        gdtest::writeFile(path, data);
        ::chmod(path.c_str(), mode);
        return *this;
    }
    void zipTo(const fs::path& out, bool stored = false) const {
        ASSERT_EQ(run("cd '" + stage_.path().string() + "' && zip -qrX" + (stored ? "0" : "") +
                      " '" + out.string() + "' ."),
                  0);
    }

  private:
    gdtest::TempDir stage_;
};

gdtest::FtpServerOptions serverOptions(const fs::path& root) {
    fs::create_directories(root / "update");
    gdtest::FtpServerOptions options;
    options.root = root;
    return options;
}

// An installation at 1.0 whose config.dat points at a real FTP server that
// serves the update directory /update.
class UpdateWorkerTest : public ::testing::Test {
  protected:
    UpdateWorkerTest() : server_(serverOptions(serverRoot())) {
        fs::create_directories(updateDir());
        fs::create_directories(install());
        const gd::ServerRecord record = server_.record("/update");
        gdtest::writeEncrypted(install() / "config.dat",
                               "DUREDOR_FTP_ADR = [[" + record.ftpAddress + "]]\n" +
                                   "DUREDOR_FTP_USER = [[" + record.ftpUser + "]]\n" +
                                   "DUREDOR_FTP_PASS = [[" + record.ftpPassword + "]]\n" +
                                   "DUREDOR_FTP_PATH = [[/update]]\n");
        gdtest::writeEncrypted(install() / "version.dat", "1.000000,1.000000");
    }

    fs::path serverRoot() const { return root_.path() / "server"; }
    fs::path updateDir() const { return serverRoot() / "update"; }
    fs::path install() const { return root_.path() / "install"; }
    std::string launcherDir() const { return install().string() + "/"; }

    void serveVersions(std::string_view latest, const std::vector<std::string>& entries) {
        std::string script = "latest_version = " + std::string(latest) + "\nfunction filelist()\n";
        for (const std::string& entry : entries) script += "  patch.File(" + entry + ")\n";
        gdtest::writeEncrypted(updateDir() / "filelist.dat", script + "end\n");
    }

    // Loads the installation as the launcher does, checks and runs one update.
    bool update() {
        config_ = gd::LauncherConfig{};
        gd::loadLauncherConfig(launcherDir(), config_);
        if (!gd::CheckForUpdate(frontEnd_, config_, manifest_)) return false;
        gd::UpdateWorker worker(frontEnd_, frontEnd_);
        const gd::UpdateRequest request{launcherDir(), config_, gd::offerOf(manifest_)};
        EXPECT_TRUE(worker.StartUpdateWorker(request));
        EXPECT_FALSE(worker.StartUpdateWorker(request));  // only one worker at a time
        worker.wait();
        EXPECT_FALSE(worker.updating() &&
                     frontEnd_.reports.back().code != UpdateReportCode::LauncherUpdate);
        return true;
    }

    std::string installedVersions() const {
        return gdtest::readDecrypted(install() / "version.dat");
    }

    gdtest::TempDir root_;
    gdtest::FtpServer server_;
    RecordingFrontEnd frontEnd_;
    gd::LauncherConfig config_;
    gd::VersionManifest manifest_;
};

TEST_F(UpdateWorkerTest, AppliesThreeArchivesInOrder) {
    ArchiveBuilder()
        .script(R"(function updater()
            update.mkdir("data") update.mkdir("data\\voices")
            update.copy("files\\a.txt", "data\\voices\\a.txt")
            update.copy("files/old.txt", "old.txt")
            update.diffcopy("anything", 1) end)")
        .file("files/a.txt", "voice a")
        .file("files/old.txt", "old")
        .zipTo(updateDir() / "p110.zip");
    ArchiveBuilder()
        .script(R"(function updater()
            update.delete("old.txt")
            update.copy("a2.txt", "data/voices/a.txt") end)")
        .file("a2.txt", "voice a, second take")
        .zipTo(updateDir() / "p120.zip");
    const std::string big = randomBytes(9 * 1024 * 1024 + 123, 7);
    ArchiveBuilder()
        .script(R"(function updater() update.copy("bin/StepTool", "StepTool") end)")
        .file("bin/StepTool", big, 0755)
        .zipTo(updateDir() / "p130.zip");
    serveVersions("1.3", {"'2026/01', 1.1, 'p110.zip'", "'2026/02', '1.2', 'p120.zip'",
                          "'2026/03', 1.3, 'p130.zip'"});

    ASSERT_TRUE(update());
    EXPECT_TRUE(frontEnd_.messages.empty());
    EXPECT_EQ(gdtest::readFile(install() / "data/voices/a.txt"), "voice a, second take");
    EXPECT_FALSE(fs::exists(install() / "old.txt"));
    EXPECT_EQ(gdtest::readFile(install() / "StepTool"), big);
    EXPECT_TRUE((fs::status(install() / "StepTool").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);
    EXPECT_EQ(installedVersions(), "1.300000,1.000000");

    using C = UpdateReportCode;
    EXPECT_EQ(frontEnd_.codesExceptDownloads(),
              (std::vector<C>{C::ListFetching, C::ListFetched, C::Step, C::Step, C::Step, C::Step,
                              C::Step, C::Step, C::Step, C::Completed}));
    // The front end learns the new version from the report, not from shared records.
    EXPECT_EQ(frontEnd_.reports.back().installedVersion, 1.3f);
    EXPECT_EQ(
        frontEnd_.steps(),
        (std::vector<std::string>{"  [ 1/4 ] ", "  [ 2/4 ] ", "ファイルをコピー中  [ 3/4 ] ",
                                  "ファイルをコピー中  [ 4/4 ] ", "  [ 1/2 ] ",
                                  "ファイルをコピー中  [ 2/2 ] ", "ファイルをコピー中  [ 1/1 ] "}));
    const std::string a = "p110.zip 1.100000", b = "p120.zip 1.200000", c = "p130.zip 1.300000";
    EXPECT_EQ(frontEnd_.archivesOf(C::Step), (std::vector<std::string>{a, a, a, a, b, b, c}));
    // Download percentages never fall within an archive and end at 100.
    int last = 0;
    for (const gd::UpdateReport& report : frontEnd_.reports) {
        if (report.code != UpdateReportCode::Downloading) {
            last = 0;
            continue;
        }
        EXPECT_GE(report.value, last);
        EXPECT_LE(report.value, 100);
        last = report.value;
    }
    EXPECT_EQ(last, 0);

    // Nothing is newer now.
    frontEnd_.reports.clear();
    EXPECT_FALSE(update());
}

// Whatever order the server lists its archives in, one run applies every
// newer one, oldest first, and records the newest.
TEST_F(UpdateWorkerTest, ListsInAnyOrderConvergeInOneRun) {
    for (const char* version : {"0.9", "1.1", "1.2", "1.3"}) {
        ArchiveBuilder()
            .script("function updater() io.open([[" + (install() / "order.txt").string() +
                    "]], 'a'):write('" + version + " ') end")
            .zipTo(updateDir() / (std::string("p") + version + ".zip"));
    }
    const auto entry = [](const char* version) {
        return std::string("'d', ") + version + ", 'p" + version + ".zip'";
    };
    const struct {
        const char* name;
        std::vector<const char*> listed;
        const char* installed;
        const char* applied;
    } rows[] = {
        {"ascending", {"1.1", "1.2", "1.3"}, "1.0", "1.1 1.2 1.3 "},
        {"newest first", {"1.3", "1.2", "1.1"}, "1.0", "1.1 1.2 1.3 "},
        {"shuffled, with an older one", {"1.2", "0.9", "1.3", "1.1"}, "1.0", "1.1 1.2 1.3 "},
        {"newest first, one installed", {"1.3", "1.2", "1.1"}, "1.1", "1.2 1.3 "},
    };
    for (const auto& row : rows) {
        std::vector<std::string> entries;
        for (const char* version : row.listed) entries.push_back(entry(version));
        serveVersions("1.3", entries);
        gdtest::writeEncrypted(install() / "version.dat",
                               std::string(row.installed) + "00000,1.000000");
        fs::remove(install() / "order.txt");
        frontEnd_.messages.clear();
        EXPECT_TRUE(update()) << row.name;
        EXPECT_EQ(gdtest::readFile(install() / "order.txt"), row.applied) << row.name;
        EXPECT_EQ(installedVersions(), "1.300000,1.000000") << row.name;
        EXPECT_TRUE(frontEnd_.messages.empty()) << row.name;
    }
}

TEST_F(UpdateWorkerTest, ResumesADroppedDownloadAndKeepsTheFilesWhole) {
    const std::string big = randomBytes(6 * 1024 * 1024, 11);
    ArchiveBuilder()
        .script(R"(function updater() update.copy("big.bin", "big.bin") end)")
        .file("big.bin", big)
        .zipTo(updateDir() / "p110.zip");
    serveVersions("1.1", {"'d', 1.1, 'p110.zip'"});
    server_.setFaults({FtpFault{FtpFault::Kind::Drop, "p110.zip", 1500000, 2}});

    ASSERT_TRUE(update());
    EXPECT_TRUE(frontEnd_.messages.empty());
    EXPECT_EQ(gdtest::readFile(install() / "big.bin"), big);
    EXPECT_EQ(installedVersions(), "1.100000,1.000000");
    // The retries resumed where the drops struck, not at a chunk boundary.
    bool resumedMidChunk = false;
    for (const std::string& offset : server_.arguments("REST"))
        resumedMidChunk |= std::stoull(offset) % gd::kDownloadChunkSize != 0;
    EXPECT_TRUE(resumedMidChunk);
    // Each retry is said before its wait: the attempt that follows, and how long.
    std::vector<int> attempts;
    for (const gd::UpdateReport& report : frontEnd_.reports) {
        if (report.retryAttempt == 0) continue;
        attempts.push_back(report.retryAttempt);
        EXPECT_EQ(report.retryWait, gd::kChunkRetryPause);
        EXPECT_EQ(report.archive, "p110.zip");
    }
    EXPECT_EQ(attempts, (std::vector<int>{2, 3}));
}

// A slow line's bar moves: a report at least every percent or half second,
// whichever comes later, and not only per chunk of kDownloadChunkSize.
TEST_F(UpdateWorkerTest, ProgressMovesOnASlowLine) {
    ArchiveBuilder()
        .script(R"(function updater() update.copy("slow.bin", "slow.bin") end)")
        .file("slow.bin", randomBytes(1536 * 1024, 12))
        .zipTo(updateDir() / "slow.zip", true);
    serveVersions("1.1", {"'s', 1.1, 'slow.zip'"});
    server_.setFaults({}, 512 * 1024);
    ASSERT_TRUE(update());
    std::vector<int> between;
    for (const gd::UpdateReport& report : frontEnd_.reports)
        if (report.code == UpdateReportCode::Downloading && report.value > 0 && report.value < 100)
            between.push_back(report.value);
    EXPECT_GE(between.size(), 2u);
    EXPECT_TRUE(std::is_sorted(between.begin(), between.end()));
    EXPECT_EQ(frontEnd_.archivesOf(UpdateReportCode::Downloading).front(), "slow.zip 1.100000");
}

// One run at a time per installation, whoever starts it; and a run whose
// check another run overtook applies only what is still newer.
TEST_F(UpdateWorkerTest, OneRunAtATimeAndOnlyWhatIsStillNewer) {
    for (const char* name : {"1", "2"})
        ArchiveBuilder()
            .script("function updater() update.copy('" + std::string(name) + ".txt', '" + name +
                    ".txt') end")
            .file(name + std::string(".txt"), name)
            .zipTo(updateDir() / ("p" + std::string(name) + ".zip"));
    serveVersions("1.2", {"'a', 1.1, 'p1.zip'", "'b', 1.2, 'p2.zip'"});
    // A run checked at 1.0; `meanwhile` happens between its check and its start.
    const auto run = [&](const std::function<void()>& meanwhile) {
        frontEnd_.reports.clear();
        gd::loadLauncherConfig(launcherDir(), config_);
        ASSERT_TRUE(gd::CheckForUpdate(frontEnd_, config_, manifest_));
        meanwhile();
        gd::UpdateWorker worker(frontEnd_, frontEnd_);
        ASSERT_TRUE(worker.StartUpdateWorker({launcherDir(), config_, gd::offerOf(manifest_)}));
        worker.wait();
    };
    {
        const gd::InstallationLock other(launcherDir());
        ASSERT_FALSE(other.busy());
        run([] {});
        EXPECT_TRUE(frontEnd_.reports.back().installationBusy);
        EXPECT_EQ(frontEnd_.reports.back().text, gd::kBusyStatus);
        EXPECT_EQ(frontEnd_.refusals, std::vector<std::string>{gd::busyReason(launcherDir())});
        EXPECT_TRUE(frontEnd_.messages.empty());
        EXPECT_EQ(installedVersions(), "1.000000,1.000000");
    }
    // Another run took the installation to 1.1 meanwhile: only 1.2 is left.
    run([&] { gdtest::writeEncrypted(install() / "version.dat", "1.100000,1.000000"); });
    EXPECT_EQ(frontEnd_.archivesOf(UpdateReportCode::Step),
              std::vector<std::string>{"p2.zip 1.200000"});
    EXPECT_FALSE(fs::exists(install() / "1.txt"));
    EXPECT_EQ(installedVersions(), "1.200000,1.000000");
}

TEST_F(UpdateWorkerTest, FailuresStopAtTheLastGoodArchive) {
    ArchiveBuilder()
        .script(R"(function updater() update.copy("one.txt", "one.txt") end)")
        .file("one.txt", "1")
        .zipTo(updateDir() / "good.zip");
    gdtest::writeFile(updateDir() / "corrupt.zip", randomBytes(4096, 3));
    serveVersions("1.3",
                  {"'a', 1.1, 'good.zip'", "'b', 1.2, 'corrupt.zip'", "'c', 1.3, 'good.zip'"});
    ASSERT_TRUE(update());
    EXPECT_EQ(
        frontEnd_.messages,
        std::vector<std::string>{"エラー: パッチの展開に失敗しました。アップデートを終了します。"});
    // Which archive, and why, before the box; the end says what failed.
    EXPECT_EQ(frontEnd_.refusals,
              std::vector<std::string>{"corrupt.zip cannot be unpacked: it is no zip archive: no "
                                       "central directory can be read"});
    EXPECT_EQ(frontEnd_.reports.back().code, UpdateReportCode::Failed);
    EXPECT_EQ(frontEnd_.reports.back().text, "パッチの展開に失敗しました。");
    EXPECT_EQ(frontEnd_.reports.back().archive, "corrupt.zip");
    EXPECT_EQ(frontEnd_.reports.back().installedVersion, 1.1f);
    EXPECT_EQ(installedVersions(), "1.100000,1.000000");
    EXPECT_EQ(gdtest::readFile(install() / "one.txt"), "1");

    // An archive that is not on the server fails without a box.
    frontEnd_.messages.clear();
    serveVersions("1.3", {"'b', 1.2, 'absent.zip'", "'c', 1.3, 'good.zip'"});
    ASSERT_TRUE(update());
    EXPECT_TRUE(frontEnd_.messages.empty());
    EXPECT_EQ(frontEnd_.reports.back().code, UpdateReportCode::Failed);
    EXPECT_EQ(installedVersions(), "1.100000,1.000000");
}

TEST_F(UpdateWorkerTest, AServerThatAlwaysDropsFailsAfterTheLastGoodArchive) {
    ArchiveBuilder()
        .script(R"(function updater() update.copy("one.txt", "one.txt") end)")
        .file("one.txt", "1")
        .zipTo(updateDir() / "good.zip");
    ArchiveBuilder()
        .script(R"(function updater() update.copy("two.txt", "two.txt") end)")
        .file("two.txt", randomBytes(300000, 5))
        .zipTo(updateDir() / "dropped.zip");
    serveVersions("1.2", {"'a', 1.1, 'good.zip'", "'b', 1.2, 'dropped.zip'"});
    server_.setFaults({FtpFault{FtpFault::Kind::Drop, "dropped.zip", 1000, -1}});

    ASSERT_TRUE(update());
    EXPECT_EQ(
        frontEnd_.messages,
        std::vector<std::string>{
            "エラー: パッチファイルのダウンロードに失敗しました。アップデートを終了します。"});
    EXPECT_EQ(frontEnd_.reports.back().code, UpdateReportCode::Failed);
    EXPECT_EQ(installedVersions(), "1.100000,1.000000");
    EXPECT_FALSE(fs::exists(install() / "two.txt"));
}

TEST_F(UpdateWorkerTest, AScriptThatFailsRunsNoneOfItsOperations) {
    ArchiveBuilder()
        .script(R"(function updater()
            update.copy("x.txt", "x.txt") update.delete("keep.txt") error("broken") end)")
        .file("x.txt", "x")
        .zipTo(updateDir() / "raise.zip");
    ArchiveBuilder()
        .script(R"(function updater() update.copy("x.txt", "..\\..\\escaped.txt") end)")
        .file("x.txt", "x")
        .zipTo(updateDir() / "escape.zip");
    gdtest::writeFile(install() / "keep.txt", "keep");

    for (const char* archive : {"raise.zip", "escape.zip"}) {
        frontEnd_.messages.clear();
        serveVersions("1.1", {std::string("'a', 1.1, '") + archive + "'"});
        ASSERT_TRUE(update());
        EXPECT_EQ(frontEnd_.messages,
                  std::vector<std::string>{
                      "エラー: パッチファイルの適応に失敗しました。アップデートを終了します。"})
            << archive;
        EXPECT_EQ(frontEnd_.reports.back().code, UpdateReportCode::Failed);
    }
    EXPECT_FALSE(fs::exists(install() / "x.txt"));
    EXPECT_EQ(gdtest::readFile(install() / "keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(root_.path() / "escaped.txt"));
    EXPECT_EQ(installedVersions(), "1.000000,1.000000");
}

TEST_F(UpdateWorkerTest, HostileEntryNamesStayInsideTheRunDirectory) {
    // Python's zipfile writes the names as given, which zip would not.
    gdtest::TempDir stage;
    std::string cipher = "function updater() update.copy('ok.txt', 'ok.txt') end";
    gdtest::writeEncrypted(stage.path() / "update.dat", cipher);
    const fs::path archive = updateDir() / "hostile.zip";
    const std::string python = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1], "w")
z.write(sys.argv[2], "update.dat")
for name in ["../../evil1.txt", "/tmp/../evil2.txt", "a/../../../evil3.txt", "../evil4.txt",
             "ok.txt"]:
    z.writestr(name, "payload " + name)
z.close()
)";
    gdtest::writeFile(stage.path() / "make.py", python);
    ASSERT_EQ(run("/usr/bin/python3 '" + (stage.path() / "make.py").string() + "' '" +
                  archive.string() + "' '" + (stage.path() / "update.dat").string() + "'"),
              0);
    serveVersions("1.1", {"'a', 1.1, 'hostile.zip'"});

    ASSERT_TRUE(update());
    EXPECT_EQ(frontEnd_.reports.back().code, UpdateReportCode::Completed);
    EXPECT_EQ(gdtest::readFile(install() / "ok.txt"), "payload ok.txt");
    for (const char* name : {"evil1.txt", "evil2.txt", "evil3.txt", "evil4.txt"}) {
        EXPECT_FALSE(fs::exists(root_.path() / name)) << name;
        EXPECT_FALSE(fs::exists(fs::temp_directory_path() / name)) << name;
        EXPECT_FALSE(fs::exists(install() / name)) << name;
    }
}

TEST_F(UpdateWorkerTest, LauncherUpdateRecordsTheVersionAndLeavesLaterArchives) {
    ArchiveBuilder()
        .script(R"(function updater()
            update.launcherupdate() update.copy("lcopy", "lcopy") end)")
        .file("GrooveDeck", "new launcher", 0755)
        .file("lcopy", "new copier", 0755)
        .zipTo(updateDir() / "launcher.zip");
    ArchiveBuilder()
        .script(R"(function updater() update.copy("later.txt", "later.txt") end)")
        .file("later.txt", "later")
        .zipTo(updateDir() / "later.zip");
    serveVersions("1.2", {"'a', 1.1, 'launcher.zip'", "'b', 1.2, 'later.zip'"});

    const std::string command = std::string(GD_GDTOOL_PATH) + " update '" + launcherDir() +
                                "' > '" + (root_.path() / "out.txt").string() + "' 2>&1";
    EXPECT_EQ(run(command), 4);
    const std::string output = gdtest::readFile(root_.path() / "out.txt");
    // Each report line names itself, and the archive and version it works on.
    const std::string archive = " archive=launcher.zip version=1.100000";
    EXPECT_NE(output.find("report=Step value=0" + archive + " text=ファイルをコピー中  [ 1/2 ] \n"),
              output.npos)
        << output;
    EXPECT_NE(output.find("report=LauncherUpdate value=0" + archive + " text=\nlauncher=" +
                          launcherDir() + "GrooveDeck.new\t" + launcherDir() + "GrooveDeck\n"),
              output.npos)
        << output;
    EXPECT_EQ(gdtest::readFile(install() / "GrooveDeck.new"), "new launcher");
    EXPECT_EQ(gdtest::readFile(install() / "lcopy"), "new copier");
    EXPECT_FALSE(fs::exists(install() / "later.txt"));
    EXPECT_EQ(installedVersions(), "1.100000,1.000000");
}

// TMPDIR, where the run makes its private directory, for one test.
struct TemporaryDirectoryOverride {
    const std::optional<std::string> old =
        std::getenv("TMPDIR") ? std::optional<std::string>(std::getenv("TMPDIR")) : std::nullopt;
    explicit TemporaryDirectoryOverride(const fs::path& dir) { ::setenv("TMPDIR", dir.c_str(), 1); }
    ~TemporaryDirectoryOverride() {
        old ? ::setenv("TMPDIR", old->c_str(), 1) : ::unsetenv("TMPDIR");
    }
};

// What a killed run left goes at the next start; a live run's directory,
// another user's, links (and what they point at) and other names stay.
TEST(RunDirectory, OnlyTheUsersStaleRunDirectoriesGo) {
    gdtest::TempDir temp;
    const TemporaryDirectoryOverride tmpdir(temp.path());
    const fs::path outside = temp.path() / "outside", stale = temp.path() / "groovedeck-update-1";
    fs::create_directory(outside);
    gdtest::writeFile(outside / "kept", "kept");
    fs::create_directories(stale / "patch-0" / "data");
    gdtest::writeFile(stale / "patch-0" / "data" / "file", "x");
    fs::create_directory_symlink(outside, stale / "patch-0" / "link");
    fs::create_directory_symlink(outside, temp.path() / "groovedeck-update-link");
    gdtest::writeFile(temp.path() / "groovedeck-update-file", "x");
    fs::create_directory(temp.path() / "groovedeck-updater");
    const fs::path foreign = temp.path() / "groovedeck-update-2";
    fs::create_directory(foreign);
    const bool asRoot = ::geteuid() == 0 && ::chown(foreign.c_str(), 65534, 65534) == 0;
    const gd::RunDirectory live;
    ASSERT_TRUE(live);
    gdtest::writeFile(live.path() / "in-use", "x");

    gd::removeStaleRunDirectories();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_EQ(gdtest::readFile(outside / "kept"), "kept");
    EXPECT_TRUE(fs::exists(live.path() / "in-use"));
    EXPECT_TRUE(fs::is_symlink(temp.path() / "groovedeck-update-link"));
    EXPECT_TRUE(fs::exists(temp.path() / "groovedeck-update-file"));
    EXPECT_TRUE(fs::exists(temp.path() / "groovedeck-updater"));
    EXPECT_EQ(fs::exists(foreign), asRoot);
}

TEST_F(UpdateWorkerTest, AnArchivesFilesAreGoneBeforeTheNextDownload) {
    for (const char* name : {"p110", "p120"}) {
        ArchiveBuilder()
            .script("function updater() update.copy('" + std::string(name) + "', 'x') end")
            .file(name, randomBytes(300000, 1))
            .zipTo(updateDir() / (std::string(name) + ".zip"));
    }
    serveVersions("1.2", {"'a', 1.1, 'p110.zip'", "'b', 1.2, 'p120.zip'"});
    gdtest::TempDir temp;
    const TemporaryDirectoryOverride tmpdir(temp.path());
    frontEnd_.watchedTemp = temp.path();

    ASSERT_TRUE(update());
    EXPECT_EQ(installedVersions(), "1.200000,1.000000");
    ASSERT_FALSE(frontEnd_.runDirectoryWhileDownloading.empty());
    // Unpacked as it arrives: no archive file, only the entries streaming in.
    EXPECT_EQ(frontEnd_.runDirectoryWhileDownloading.front(),
              std::set<std::string>{"patch-0.parts"});
    EXPECT_EQ(frontEnd_.runDirectoryWhileDownloading.back(),
              std::set<std::string>{"patch-1.parts"});
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

// The download and what it unpacks to share the run's one budget, and both
// give their room back before the archive is done with. Unpacked while it
// downloads, the archive itself is kept nowhere and takes no room.
TEST_F(UpdateWorkerTest, ADownloadAndItsUnpackedFilesShareOneBudget) {
    ArchiveBuilder()
        .script("function updater() update.copy('blob', 'blob') end")
        .file("blob", randomBytes(600 * 1024, 2))  // does not compress
        .zipTo(updateDir() / "p110.zip");
    gd::loadLauncherConfig(launcherDir(), config_);
    const std::uint64_t kKiB = 1024;
    const struct {
        std::uint64_t capacity;
        bool applied;
        std::string_view box;
    } rows[] = {{2048 * kKiB, true, {}},
                {1024 * kKiB, true, {}},
                {500 * kKiB, false, gd::kDownloadFailedMessage}};
    for (const auto& row : rows) {
        frontEnd_.messages.clear();
        gdtest::TempDir run;
        gd::DiskBudget budget(row.capacity);
        gd::UpdateJob job{launcherDir(), config_, {}, frontEnd_, frontEnd_};
        EXPECT_EQ(gd::ApplyPatchArchive(job, config_.server, "p110.zip", run.path(), 0, budget, {}),
                  row.applied)
            << row.capacity;
        EXPECT_EQ(frontEnd_.messages,
                  row.box.empty() ? std::vector<std::string>{}
                                  : std::vector<std::string>{"エラー: " + std::string(row.box)})
            << row.capacity;
        EXPECT_EQ(budget.available(), row.capacity);
        EXPECT_TRUE(fs::is_empty(run.path()));
    }
}

// Room that fits exactly is enough, a byte less is not, on both paths. A
// streamed archive is bound by its unpacked files when they are larger than
// it, by its download when it is larger (stored); one unpacked from the whole
// file by its download and its files together, its download by itself alone.
TEST_F(UpdateWorkerTest, TheBudgetHoldsToTheByte) {
    const std::string script = "function updater() update.copy('blob', 'blob') end";
    const std::string blob(300 * 1024, 'b');
    const std::string noise = randomBytes(300 * 1024, 3);
    ArchiveBuilder().script(script).file("blob", blob).zipTo(updateDir() / "streams.zip");
    ArchiveBuilder().script(script).file("blob", noise).zipTo(updateDir() / "stored.zip", true);
    const fs::path plain = root_.path() / "plain.zip", whole = updateDir() / "whole.zip";
    ArchiveBuilder().script(script).file("blob", blob).zipTo(plain);
    // Something before the first entry: only the whole file can be read.
    ASSERT_EQ(run("printf stub | cat - '" + plain.string() + "' > '" + whole.string() +
                  "' && zip -qA '" + whole.string() + "'"),
              0);
    const std::uint64_t files = script.size() + blob.size();
    const std::uint64_t streams = fs::file_size(updateDir() / "streams.zip");
    const std::uint64_t stored = fs::file_size(updateDir() / "stored.zip");
    const std::uint64_t download = fs::file_size(whole);
    ASSERT_LT(streams, files);
    ASSERT_GT(stored, script.size() + noise.size());
    gd::loadLauncherConfig(launcherDir(), config_);
    const struct {
        const char* archive;
        std::uint64_t capacity;
        std::string_view box;  // none: applied
    } rows[] = {
        {"streams.zip", files, {}},
        {"streams.zip", files - 1, gd::kUnpackFailedMessage},
        {"stored.zip", stored, {}},
        {"stored.zip", stored - 1, gd::kDownloadFailedMessage},
        {"whole.zip", download + files, {}},
        {"whole.zip", download + files - 1, gd::kUnpackFailedMessage},
        {"whole.zip", download, gd::kUnpackFailedMessage},
        {"whole.zip", download - 1, gd::kDownloadFailedMessage},
    };
    for (const auto& row : rows) {
        frontEnd_.messages.clear();
        gdtest::TempDir run;
        gd::DiskBudget budget(row.capacity);
        gd::UpdateJob job{launcherDir(), config_, {}, frontEnd_, frontEnd_};
        EXPECT_EQ(
            gd::ApplyPatchArchive(job, config_.server, row.archive, run.path(), 0, budget, {}),
            row.box.empty())
            << row.archive << " in " << row.capacity;
        EXPECT_EQ(frontEnd_.messages,
                  row.box.empty() ? std::vector<std::string>{}
                                  : std::vector<std::string>{"エラー: " + std::string(row.box)})
            << row.archive << " in " << row.capacity;
        EXPECT_EQ(budget.available(), row.capacity);
    }
}

TEST_F(UpdateWorkerTest, AMissingServerDirectoryOffersNothing) {
    serveVersions("1.1", {"'a', 1.1, 'a.zip'"});
    fs::rename(updateDir(), serverRoot() / "moved");
    EXPECT_FALSE(update());
    EXPECT_FALSE(gd::ProbeUpdateServer(config_.server));
    EXPECT_TRUE(frontEnd_.messages.empty());
}

}  // namespace

// Signed updates end to end: a real FTP server, archives made by Info-ZIP's
// zip, keys and signatures made by Debian's minisign (the independent
// oracle), installations driven through `gdtool update` and `gdtool check`,
// and once through the engine as the launcher window drives it; downloads
// cut by a kill and continued by the next run, signed and unsigned.

#include "fetch/trusted_fetch.h"
#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "support/temp_dir.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::readFile;
using gdtest::runShell;
using gdtest::shellQuoted;
using namespace std::chrono_literals;

constexpr const char* kFarAhead = "9999999999";

struct MinisignKey {
    fs::path secretFile;
    std::string line;  // the "RW..." line
    std::string id;    // as minisign shows it
};

MinisignKey makeKey(const fs::path& dir, const std::string& name) {
    const fs::path pub = dir / (name + ".pub"), sec = dir / (name + ".sec");
    EXPECT_EQ(runShell("minisign -G -W -p " + shellQuoted(pub) + " -s " + shellQuoted(sec) +
                       " >/dev/null"),
              0);
    std::istringstream in(readFile(pub));
    std::string comment, line;
    std::getline(in, comment);
    std::getline(in, line);
    return {sec, line, comment.substr(comment.rfind(' ') + 1)};
}

void sign(const fs::path& file, const MinisignKey& key, const std::string& comment,
          bool legacy = false) {
    EXPECT_EQ(runShell(std::string("minisign -S ") + (legacy ? "-l " : "") + "-s " +
                       shellQuoted(key.secretFile) + " -m " + shellQuoted(file) + " -t " +
                       shellQuoted(comment) + " >/dev/null"),
              0);
}

// The launcher's tokens for a file in the update directory.
void signFor(const fs::path& file, const MinisignKey& key, bool legacy = false) {
    const std::string name = file.filename().string();
    sign(file, key,
         "file=" + name + (name == "filelist.dat" ? std::string(" expires=") + kFarAhead : ""),
         legacy);
}

std::string keySetting(const std::vector<const MinisignKey*>& keys) {
    std::string list;
    for (const MinisignKey* key : keys) list += (list.empty() ? "'" : ", '") + key->line + "'";
    return "DUREDOR_SIGN_KEY = {" + list + "}\n";
}

struct Ran {
    int code = -1;
    std::string output, errors;
};

class SignedUpdateTest : public ::testing::Test {
  protected:
    SignedUpdateTest()
        : keyA_(makeKey(keyDir(), "a")),
          keyB_(makeKey(keyDir(), "b")),
          stranger_(makeKey(keyDir(), "stranger")) {}

    fs::path keyDir() const {
        fs::create_directories(site_.root() / "keys");
        return site_.root() / "keys";
    }

    // An archive whose update script copies each of its files into the installation.
    void archive(const fs::path& folder, const std::string& name,
                 const std::vector<std::pair<std::string, std::string>>& files) {
        const fs::path stage = site_.root() / "stage" / name;
        fs::create_directories(stage);
        std::string script = "function updater()\n";
        for (const auto& [file, bytes] : files) {
            gdtest::writeFile(stage / file, bytes);
            script += "  update.copy('" + file + "', '" + file + "')\n";
        }
        gdtest::writeEncrypted(stage / "update.dat", script + "end\n");
        ASSERT_EQ(runShell("cd " + shellQuoted(stage) + " && zip -qrX " +
                           shellQuoted(folder / name) + " ."),
                  0);
    }

    // 1.1, 1.2 and 1.3, each adding a file; 1.2 signed with the legacy algorithm.
    fs::path serveChain(const std::string& name, const MinisignKey& key) {
        const fs::path folder = site_.serverFolder(name);
        for (const char* version : {"1.1", "1.2", "1.3"}) {
            const std::string archiveName = std::string("p") + version + ".zip";
            archive(folder, archiveName, {{std::string("v") + version + ".txt", version}});
            signFor(folder / archiveName, key, version == std::string("1.2"));
        }
        gdtest::serveVersionScript(
            folder, "1.3",
            {"'a', 1.1, 'p1.1.zip'", "'b', 1.2, 'p1.2.zip'", "'c', 1.3, 'p1.3.zip'"});
        signFor(folder / "filelist.dat", key);
        return folder;
    }

    // An installation at 1.0 of the server folder `folder`.
    fs::path install(const std::string& name, const std::string& folder, const std::string& extra) {
        const fs::path dir = site_.root() / "installs" / name;
        fs::create_directories(dir);
        gdtest::writeEncrypted(dir / "config.dat", site_.configText(folder) + extra);
        gdtest::writeEncrypted(dir / "version.dat", "1.000000,1.000000");
        return dir;
    }

    Ran gdtool(const std::string& command, const fs::path& dir) {
        const fs::path tmp = site_.root() / "tmp", out = site_.root() / "out.txt",
                       err = site_.root() / "err.txt";
        fs::create_directories(tmp);
        gdtest::GdtoolRun run({command, dir.string()}, tmp, out, err);
        const auto end = run.waitFor(90s);
        if (!end) run.kill();
        return {end && end->exited ? end->code : -1, run.output(), run.errors()};
    }

    std::string version(const fs::path& dir) const {
        return gdtest::readDecrypted(dir / "version.dat");
    }

    gdtest::UpdateSite site_;
    MinisignKey keyA_, keyB_, stranger_;
};

TEST_F(SignedUpdateTest, ASignedChainOfThreeArchivesFromOnePointZero) {
    serveChain("chain", keyA_);
    const fs::path dir = install("chain", "chain", keySetting({&keyA_}));

    const Ran updated = gdtool("update", dir);
    EXPECT_EQ(updated.code, 0) << updated.errors;
    EXPECT_EQ(version(dir), "1.300000,1.000000");
    for (const char* file : {"v1.1.txt", "v1.2.txt", "v1.3.txt"})
        EXPECT_TRUE(fs::exists(dir / file));

    const Ran checked = gdtool("check", dir);
    EXPECT_EQ(checked.code, 0) << checked.errors;
    EXPECT_EQ(checked.output,
              "signed=1\nkey=" + keyA_.id + "\nonline=1\nlatest=1.300000\nstatus=up-to-date\n");
}

// Each spoils a good signed chain so that its first step is refused.
struct Refusal {
    std::string name;
    std::string file;  // named by the refusal
    std::function<void(const fs::path& folder)> spoil;
};

TEST_F(SignedUpdateTest, EveryRefusalLeavesTheInstallationAsItWas) {
    const auto resign = [](const MinisignKey& key, const char* file, std::string comment) {
        return [&key, file, comment](const fs::path& folder) { sign(folder / file, key, comment); };
    };
    const auto longList = [this](const fs::path& folder) {
        gdtest::serveVersionScript(folder, "1.3 --" + std::string(5000, 'x'),
                                   {"'a', 1.1, 'p1.1.zip'"});
        signFor(folder / "filelist.dat", keyA_);
    };
    const std::vector<Refusal> refusals = {
        {"list signature missing", "filelist.dat",
         [](const fs::path& f) { fs::remove(f / "filelist.dat.minisig"); }},
        {"list signature malformed", "filelist.dat",
         [](const fs::path& f) {
             gdtest::writeFile(f / "filelist.dat.minisig", "untrusted comment: x\nRWQ\n");
         }},
        {"list signed by another key", "filelist.dat",
         resign(stranger_, "filelist.dat", "file=filelist.dat expires=9999999999")},
        {"list altered after signing", "filelist.dat",
         [](const fs::path& f) { gdtest::serveVersionScript(f, "1.1", {"'a', 1.1, 'p1.2.zip'"}); }},
        {"list comment altered", "filelist.dat",
         [](const fs::path& f) {
             std::string text = readFile(f / "filelist.dat.minisig");
             text.replace(text.find("expires="), 9, "expires=8");
             gdtest::writeFile(f / "filelist.dat.minisig", text);
         }},
        {"list expired", "filelist.dat",
         resign(keyA_, "filelist.dat", "file=filelist.dat expires=1")},
        {"list without expiry", "filelist.dat", resign(keyA_, "filelist.dat", "file=filelist.dat")},
        {"list longer than is read", "filelist.dat", longList},
        {"archive signature missing", "p1.1.zip",
         [](const fs::path& f) { fs::remove(f / "p1.1.zip.minisig"); }},
        {"archive altered after signing", "p1.1.zip",
         [](const fs::path& f) {
             fs::copy_file(f / "p1.3.zip", f / "p1.1.zip", fs::copy_options::overwrite_existing);
         }},
        {"archive signed by another key", "p1.1.zip",
         resign(stranger_, "p1.1.zip", "file=p1.1.zip")},
        {"archive signature of another file", "p1.1.zip",
         [](const fs::path& f) {
             for (const char* suffix : {"", ".minisig"})
                 fs::copy_file(f / (std::string("p1.3.zip") + suffix),
                               f / (std::string("p1.1.zip") + suffix),
                               fs::copy_options::overwrite_existing);
         }},
        {"archive signature of 64 MiB", "p1.1.zip",
         [](const fs::path& f) { fs::resize_file(f / "p1.1.zip.minisig", 64u << 20); }},
    };
    for (std::size_t i = 0; i < refusals.size(); ++i) {
        const Refusal& refusal = refusals[i];
        SCOPED_TRACE(refusal.name);
        const std::string name = "r" + std::to_string(i);
        refusal.spoil(serveChain(name, keyA_));
        const fs::path dir = install(name, name, keySetting({&keyA_, &keyB_}));
        const gdtest::Tree before = gdtest::snapshotTree(dir);

        // A refused list is a refusal (1) whose cause the status line
        // carries; a refused archive fails the run (5).
        const bool list = refusal.file == "filelist.dat";
        const Ran updated = gdtool("update", dir);
        EXPECT_EQ(updated.code, list ? 1 : 5);
        const std::string said = "signature of " + refusal.file + " refused: ";
        EXPECT_NE(updated.errors.find("gdtool: " + said), std::string::npos) << updated.errors;
        const std::string status = list ? "status=refused: " : "status=failed: ";
        EXPECT_NE(updated.output.find(status + said), std::string::npos) << updated.output;
        EXPECT_EQ(gdtest::treeDifferences(before, gdtest::snapshotTree(dir)), "");
        if (refusal.file == "filelist.dat") {
            EXPECT_EQ(gdtool("check", dir).code, 1);
        }
    }
}

TEST_F(SignedUpdateTest, ADroppedAndResumedDownloadIsStillJudgedWhole) {
    const fs::path folder = serveChain("resume", keyA_);
    const fs::path good = install("good", "resume", keySetting({&keyA_}));
    site_.server().setFaults({gdtest::FtpFault{gdtest::FtpFault::Kind::Drop, "p1.1.zip", 100, 1}});
    EXPECT_EQ(gdtool("update", good).code, 0);
    EXPECT_EQ(version(good), "1.300000,1.000000");
    EXPECT_GE(site_.server().count("REST"), 1);

    // The same drop, but the archive served is not the one signed.
    gdtest::writeFile(folder / "p1.1.zip", readFile(folder / "p1.1.zip") + "tail");
    site_.server().setFaults({gdtest::FtpFault{gdtest::FtpFault::Kind::Drop, "p1.1.zip", 100, 1}});
    const fs::path bad = install("bad", "resume", keySetting({&keyA_}));
    const Ran refused = gdtool("update", bad);
    EXPECT_EQ(refused.code, 5);
    EXPECT_NE(refused.errors.find("signature of p1.1.zip refused"), std::string::npos);
    EXPECT_EQ(version(bad), "1.000000,1.000000");
}

// One download killed midway and the next run: what may happen to the server
// or the kept bytes in between, and whether the next run may go on from them.
struct CutDownload {
    std::string name;
    bool signedChain;
    std::function<void(const fs::path& folder, const fs::path& kept)> between;
    bool continues;  // fewer bytes than the whole archive travel the second time
    std::vector<gdtest::FtpFault> rerunFaults = {};  // the server's during the next run
    bool wholeFile = false;  // an archive that is downloaded whole before it is unpacked
};

// The kept download in the user's cache, once it holds `least` bytes.
std::optional<fs::path> keptPart(std::uintmax_t least) {
    const fs::path cache = fs::path(std::getenv("XDG_CACHE_HOME")) / "groovedeck";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(cache, error)) {
        if (entry.path().extension() == ".part" && entry.file_size(error) >= least)
            return entry.path();
    }
    return std::nullopt;
}

std::uint64_t downloaded(const std::string& output) {
    const auto at = output.find("downloaded=");
    return at == std::string::npos ? 0 : std::stoull(output.substr(at + 11));
}

TEST_F(SignedUpdateTest, ADownloadCutByAKillGoesOnAtTheNextRun) {
    constexpr std::uint64_t kRate = 512 * 1024;
    const std::string payload = gdtest::randomBytes(2 * 1024 * 1024, 22);
    const auto flipByte = [](const fs::path&, const fs::path& kept) {
        std::string bytes = readFile(kept);
        bytes[bytes.size() / 2] ^= 0x5a;
        gdtest::writeFile(kept, bytes);
    };
    // A new archive of the same name, of another size and time.
    const auto republish = [this](const fs::path& folder, const fs::path&) {
        archive(folder, "big.zip", {{"big.bin", gdtest::randomBytes(2 * 1024 * 1024 + 7, 23)}});
    };
    const std::vector<CutDownload> rows = {
        {"unsigned", false, {}, true},
        {"republished", false, republish, false},
        {"signed", true, {}, true},
        {"altered", true, flipByte, false},
        // A server that cannot go on from the kept bytes: from zero at once.
        {"no REST", true, {}, false, {{gdtest::FtpFault::Kind::NoRest, "big.zip"}}},
        {"altered, whole file", false, flipByte, false, {}, true},
    };
    for (const CutDownload& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(fs::path(std::getenv("XDG_CACHE_HOME")) / "groovedeck");
        const fs::path folder = site_.serverFolder(row.name);
        archive(folder, "big.zip", {{"big.bin", payload}});
        // Bytes before the first entry: it cannot be unpacked as it arrives.
        if (row.wholeFile) {
            ASSERT_EQ(runShell("cd " + shellQuoted(folder) +
                               " && { printf stub; cat big.zip; } > sfx.zip && mv sfx.zip big.zip "
                               "&& zip -qA big.zip"),
                      0);
        }
        gdtest::serveVersionScript(folder, "1.1", {"'a', 1.1, 'big.zip'"});
        if (row.signedChain) {
            signFor(folder / "big.zip", keyA_);
            signFor(folder / "filelist.dat", keyA_);
        }
        const fs::path dir =
            install(row.name, row.name, row.signedChain ? keySetting({&keyA_}) : "");
        site_.server().setFaults({}, kRate);
        {
            const fs::path tmp = site_.root() / "tmp";
            fs::create_directories(tmp);
            gdtest::GdtoolRun run({"update", dir.string()}, tmp, site_.root() / "cut.txt",
                                  site_.root() / "cut-err.txt");
            std::optional<fs::path> kept;
            while (!(kept = keptPart(256 * 1024)) && !run.waitFor(50ms)) {
            }
            ASSERT_TRUE(kept) << "nothing kept of the download: " << run.errors();
            EXPECT_FALSE(run.kill().exited);
            if (row.between) row.between(folder, *kept);
        }
        site_.server().setFaults(row.rerunFaults, kRate * 4);
        const Ran rerun = gdtool("update", dir);
        EXPECT_EQ(rerun.code, 0) << rerun.errors;
        EXPECT_EQ(version(dir), "1.100000,1.000000");
        const std::string expected = row.name == "republished"
                                         ? readFile(site_.root() / "stage" / "big.zip" / "big.bin")
                                         : payload;
        EXPECT_TRUE(readFile(dir / "big.bin") == expected);
        const std::uint64_t whole = fs::file_size(folder / "big.zip");
        ASSERT_NE(rerun.output.find("downloaded="), std::string::npos) << rerun.output;
        EXPECT_EQ(downloaded(rerun.output) < whole, row.continues) << rerun.output;
        EXPECT_FALSE(keptPart(0)) << "the kept download outlived its archive";
    }
}

// What another server left in the cache goes once nothing of it has changed
// for a month; the run's own server is judged by its list alone.
TEST_F(SignedUpdateTest, KeptDownloadsOfServersUnseenForAMonthGo) {
    const fs::path cache = fs::path(std::getenv("XDG_CACHE_HOME")) / "groovedeck";
    fs::remove_all(cache);
    fs::create_directories(cache);
    fs::permissions(cache, fs::perms::owner_all, fs::perm_options::replace);
    const auto entry = [](char archive, const char* extension) {
        return std::string(20, 'a') + "-" + std::string(20, archive) + extension;
    };
    // file, days since it last changed, whether it stays
    const std::vector<std::tuple<std::string, int, bool>> rows = {
        {entry('1', ".part"), 31, false}, {entry('1', ".stamp"), 40, false},
        {entry('2', ".part"), 29, true},  {entry('2', ".stamp"), 40, true},
        {"notes.txt", 400, true},
    };
    for (const auto& [name, days, stays] : rows) {
        gdtest::writeFile(cache / name, "kept");
        fs::last_write_time(cache / name,
                            fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
    }
    const fs::path folder = site_.serverFolder("unseen");
    archive(folder, "a.zip", {{"a.txt", "a"}});
    gdtest::serveVersionScript(folder, "1.1", {"'a', 1.1, 'a.zip'"});
    EXPECT_EQ(gdtool("update", install("unseen", "unseen", "")).code, 0);
    for (const auto& [name, days, stays] : rows) EXPECT_EQ(fs::exists(cache / name), stays) << name;
}

// A verified archive installs a config.dat that trusts both keys; later the
// publisher signs with the second key only.
TEST_F(SignedUpdateTest, RotationToASecondKey) {
    const fs::path folder = site_.serverFolder("rotate");
    const fs::path dir = install("rotate", "rotate", keySetting({&keyA_}));
    archive(folder, "p1.1.zip",
            {{"config.dat",
              gdtest::enciphered(site_.configText("rotate") + keySetting({&keyA_, &keyB_}))}});
    signFor(folder / "p1.1.zip", keyA_);
    gdtest::serveVersionScript(folder, "1.1", {"'a', 1.1, 'p1.1.zip'"});
    signFor(folder / "filelist.dat", keyA_);
    EXPECT_EQ(gdtool("update", dir).code, 0);
    EXPECT_NE(gdtool("config", dir).output.find("signed=1\nkey=" + keyA_.id + "\nkey=" + keyB_.id),
              std::string::npos);

    archive(
        folder, "p1.2.zip",
        {{"config.dat", gdtest::enciphered(site_.configText("rotate") + keySetting({&keyB_}))}});
    signFor(folder / "p1.2.zip", keyB_);
    gdtest::serveVersionScript(folder, "1.2", {"'b', 1.2, 'p1.2.zip'"});
    signFor(folder / "filelist.dat", keyB_);
    EXPECT_EQ(gdtool("update", dir).code, 0);
    EXPECT_EQ(version(dir), "1.200000,1.000000");

    // The first key is no longer trusted.
    signFor(folder / "filelist.dat", keyA_);
    const Ran refused = gdtool("check", dir);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.errors.find("made with key " + keyA_.id), std::string::npos);
}

class Recorder : public gd::Notifier, public gd::UpdateReporter {
  public:
    void showMessage(std::string_view, std::string_view text) override { boxes.emplace_back(text); }
    void refused(std::string_view reason) override { reasons.emplace_back(reason); }
    void OnUpdateReport(const gd::UpdateReport& report) override {
        last = report.code;
        if (last != gd::UpdateReportCode::Step && last != gd::UpdateReportCode::Downloading)
            ending = report;
    }
    std::vector<std::string> boxes, reasons;
    gd::UpdateReportCode last{};
    gd::UpdateReport ending;
};

// As the window runs it: one configuration in memory across checks. The
// migration archive comes unsigned; from then on only signed files count.
TEST_F(SignedUpdateTest, MigrationOfAnUnsignedInstallation) {
    const fs::path folder = site_.serverFolder("migrate");
    const fs::path dir = install("migrate", "migrate", "");
    archive(
        folder, "p1.1.zip",
        {{"config.dat", gdtest::enciphered(site_.configText("migrate") + keySetting({&keyA_}))}});
    gdtest::serveVersionScript(folder, "1.1", {"'a', 1.1, 'p1.1.zip'"});

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir.string() + "/", config);
    gd::VersionManifest manifest;
    Recorder recorder;
    const auto update = [&] {
        if (!gd::CheckForUpdate(recorder, config, manifest)) return false;
        gd::UpdateWorker worker(recorder, recorder);
        worker.StartUpdateWorker({dir.string() + "/", config, gd::offerOf(manifest)});
        worker.wait();
        // What the window takes over from the run's final report.
        config.server.installedVersion = recorder.ending.installedVersion;
        config.server.signKeys = recorder.ending.signKeys;
        config.server.unusable = recorder.ending.settingsUnusable;
        return true;
    };
    ASSERT_TRUE(update());
    EXPECT_EQ(recorder.last, gd::UpdateReportCode::Completed);
    EXPECT_EQ(config.server.signKeys.size(), 1u);

    archive(folder, "p1.2.zip", {{"v1.2.txt", "1.2"}});
    gdtest::serveVersionScript(folder, "1.2", {"'b', 1.2, 'p1.2.zip'"});
    EXPECT_FALSE(update());
    EXPECT_EQ(recorder.boxes, std::vector<std::string>{std::string(gd::kVersionScriptLoadError)});
    EXPECT_EQ(recorder.reasons,
              std::vector<std::string>{
                  "signature of filelist.dat refused: there is no filelist.dat.minisig"});

    signFor(folder / "filelist.dat", keyA_);
    signFor(folder / "p1.2.zip", keyA_);
    ASSERT_TRUE(update());
    EXPECT_EQ(recorder.last, gd::UpdateReportCode::Completed);
    EXPECT_EQ(version(dir), "1.200000,1.000000");
}

// A signed archive installs a config.dat; as the window runs it, the next
// check takes the keys from the run's report. A config.dat that cannot be
// used, or that drops the key, is not installed (the copy is skipped and
// said): the installation stays signed in this window and at every later
// start, and the next check refuses an unsigned list.
TEST_F(SignedUpdateTest, AnInstalledConfigThatCannotBeUsedNeverMakesItUnsigned) {
    struct Installed {
        std::string name, config;
        std::size_t keys;     // after the run, and read again from the disk
        std::string skipped;  // what the skipped line says; "": installed
    };
    const std::vector<Installed> rows = {
        {"oversized", keySetting({&keyA_}) + "--" + std::string(5000, 'x') + "\n", 1,
         "larger than the 4096 bytes"},
        {"raises before the key", "error('boom')\n" + keySetting({&keyA_}), 1,
         "the chunk stopped with an error: "},
        {"drops the key", "", 1, "names no DUREDOR_SIGN_KEY"},
        {"names two keys", keySetting({&keyA_, &keyB_}), 2, ""},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Installed& row = rows[i];
        SCOPED_TRACE(row.name);
        const std::string name = "installed" + std::to_string(i);
        const fs::path folder = site_.serverFolder(name);
        const fs::path dir = install(name, name, keySetting({&keyA_}));
        archive(folder, "p1.1.zip",
                {{"config.dat", gdtest::enciphered(site_.configText(name) + row.config)},
                 {"v1.1.txt", "1.1"}});
        signFor(folder / "p1.1.zip", keyA_);
        gdtest::serveVersionScript(folder, "1.1", {"'a', 1.1, 'p1.1.zip'"});
        signFor(folder / "filelist.dat", keyA_);

        gd::LauncherConfig config;
        gd::loadLauncherConfig(dir.string() + "/", config);
        gd::VersionManifest manifest;
        Recorder recorder;
        ASSERT_TRUE(gd::CheckForUpdate(recorder, config, manifest));
        gd::UpdateWorker worker(recorder, recorder);
        worker.StartUpdateWorker({dir.string() + "/", config, gd::offerOf(manifest)});
        worker.wait();
        EXPECT_EQ(recorder.ending.code, gd::UpdateReportCode::Completed);
        EXPECT_TRUE(fs::exists(dir / "v1.1.txt"));
        const std::string skipped =
            recorder.ending.skipped.empty() ? "" : recorder.ending.skipped.front();
        EXPECT_EQ(skipped.empty(), row.skipped.empty()) << skipped;
        EXPECT_NE(skipped.find(row.skipped), std::string::npos) << skipped;
        config.server.installedVersion = recorder.ending.installedVersion;
        config.server.signKeys = recorder.ending.signKeys;
        config.server.unusable = recorder.ending.settingsUnusable;
        EXPECT_EQ(config.server.unusable, "");

        // An unsigned list offering more: only an unsigned check would take
        // it, in this window or after a restart.
        archive(folder, "p1.2.zip", {{"v1.2.txt", "1.2"}});
        gdtest::serveVersionScript(folder, "1.2", {"'b', 1.2, 'p1.2.zip'"});
        fs::remove(folder / "filelist.dat.minisig");
        gd::LauncherConfig restarted;
        gd::loadLauncherConfig(dir.string() + "/", restarted);
        for (gd::LauncherConfig* checked : {&config, &restarted}) {
            recorder.boxes.clear();
            EXPECT_FALSE(gd::CheckForUpdate(recorder, *checked, manifest));
            EXPECT_EQ(recorder.boxes,
                      std::vector<std::string>{std::string(gd::kVersionScriptLoadError)});
            EXPECT_EQ(checked->server.signKeys.size(), row.keys);
        }
    }
}

TEST_F(SignedUpdateTest, SettingsThatCannotBeUsedContactNoServer) {
    serveChain("unusable", keyA_);
    const fs::path dir = install("unusable", "unusable", "DUREDOR_SIGN_KEY = 'RWQ'\n");
    const gdtest::Tree before = gdtest::snapshotTree(dir);
    for (const char* command : {"check", "update"}) {
        const Ran ran = gdtool(command, dir);
        EXPECT_EQ(ran.code, 1);  // refused, as the exit status table says
        EXPECT_NE(ran.errors.find("config.dat cannot be used: DUREDOR_SIGN_KEY"), std::string::npos)
            << ran.errors;
        EXPECT_NE(ran.errors.find(gd::kUnusableSettingsMessage), std::string::npos);
    }
    EXPECT_EQ(site_.server().commands(), std::vector<std::string>{});
    EXPECT_EQ(gdtest::treeDifferences(before, gdtest::snapshotTree(dir)), "");
}

}  // namespace

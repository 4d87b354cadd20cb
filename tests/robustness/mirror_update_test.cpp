// Signed installations served by mirrors, end to end through gdtool: a real
// FTP server (pyftpdlib), Debian's nginx and Python's http.server with
// injected faults as mirrors, archives made by zip and signed by minisign.

#include "robustness/gdtool_run.h"
#include "robustness/tree_snapshot.h"
#include "robustness/update_site.h"
#include "support/script_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gdtest::runShell;
using gdtest::shellQuoted;
using namespace std::chrono_literals;

struct Ran {
    int code = -1;
    std::string output, errors;
};

class MirrorUpdateTest : public ::testing::Test {
  protected:
    MirrorUpdateTest() {
        publisher_ = makeKey("publisher");
        stranger_ = makeKey("stranger");
        serveChain("good", publisher_.first);
        serveChain("foreign", stranger_.first);
    }

    // A minisign key pair: the secret key file and the public key line.
    std::pair<fs::path, std::string> makeKey(const std::string& name) {
        const fs::path dir = site_.root() / "keys";
        fs::create_directories(dir);
        const fs::path pub = dir / (name + ".pub"), sec = dir / (name + ".sec");
        EXPECT_EQ(runShell("minisign -G -W -p " + shellQuoted(pub) + " -s " + shellQuoted(sec) +
                           " >/dev/null"),
                  0);
        std::istringstream in(gdtest::readFile(pub));
        std::string comment, line;
        std::getline(in, comment);
        std::getline(in, line);
        return {sec, line};
    }

    void sign(const fs::path& file, const fs::path& key) {
        const std::string name = file.filename().string();
        const std::string comment =
            "file=" + name + (name == "filelist.dat" ? " expires=9999999999" : "");
        EXPECT_EQ(runShell("minisign -S -s " + shellQuoted(key) + " -m " + shellQuoted(file) +
                           " -t " + shellQuoted(comment) + " >/dev/null"),
                  0);
    }

    // 1.1 and 1.2, each adding a file, signed with `key`.
    void serveChain(const std::string& name, const fs::path& key) {
        const fs::path folder = site_.serverFolder(name);
        for (const char* version : {"1.1", "1.2"}) {
            const fs::path stage = site_.root() / "stage" / name / version;
            fs::create_directories(stage);
            const std::string file = std::string("v") + version + ".txt";
            gdtest::writeFile(stage / file, gdtest::randomBytes(200000, 3));
            gdtest::writeEncrypted(stage / "update.dat", "function updater() update.copy('" + file +
                                                             "', '" + file + "') end\n");
            const fs::path archive = folder / (std::string("p") + version + ".zip");
            ASSERT_EQ(runShell("cd " + shellQuoted(stage) + " && zip -qrX " + shellQuoted(archive) +
                               " ."),
                      0);
            sign(archive, key);
        }
        gdtest::serveVersionScript(folder, "1.2", {"'a', 1.1, 'p1.1.zip'", "'b', 1.2, 'p1.2.zip'"});
        sign(folder / "filelist.dat", key);
    }

    // A mirror: "nginx" (the good folder), "foreign" (http.server over files
    // another publisher signed), "dead" (nothing listens) or a list of
    // faults for http.server over `folder`. Returns its base URL.
    std::string mirror(const std::string& kind, const std::string& folder = "good") {
        const std::size_t n = servers_.size();
        const fs::path work = site_.root() / ("mirror" + std::to_string(n));
        if (kind == "dead") return "http://127.0.0.1:9/";
        std::vector<std::string> args;
        if (kind == "nginx") {
            args = {GD_NGINX_SERVER_SCRIPT, "--root", site_.serverFolder("good").string(), "--work",
                    work.string()};
        } else {
            args = {GD_MIRROR_SERVER_SCRIPT, "--root",
                    site_.serverFolder(kind == "foreign" ? "foreign" : folder).string(), "--record",
                    (work.string() + ".requests")};
            std::istringstream faults(kind == "foreign" ? "" : kind);
            for (std::string fault; faults >> fault;) args.insert(args.end(), {"--fault", fault});
        }
        servers_.push_back(std::make_unique<gdtest::ScriptServer>(args));
        return "http://127.0.0.1:" + std::to_string(servers_.back()->port()) + "/";
    }

    fs::path install(const std::string& name, const std::string& folder, const std::string& extra) {
        const fs::path dir = site_.root() / "installs" / name;
        fs::create_directories(dir);
        gdtest::writeEncrypted(dir / "config.dat", site_.configText(folder) + extra);
        gdtest::writeEncrypted(dir / "version.dat", "1.000000,1.000000");
        return dir;
    }

    std::string signedWith(const std::vector<std::string>& mirrors) const {
        std::string list;
        for (const std::string& base : mirrors) list += "'" + base + "', ";
        return "DUREDOR_SIGN_KEY = '" + publisher_.second + "'\nDUREDOR_MIRRORS = {" + list + "}\n";
    }

    std::string ftpBase(const std::string& folder) {
        return "ftp://" + site_.server().record("/").ftpAddress + "/" + folder;
    }

    Ran gdtool(const std::string& command, const fs::path& dir) {
        const fs::path tmp = site_.root() / "tmp", out = site_.root() / "out.txt",
                       err = site_.root() / "err.txt";
        fs::create_directories(tmp);
        gdtest::GdtoolRun run({command, dir.string()}, tmp, out, err);
        const auto end = run.waitFor(120s);
        if (!end) run.kill();
        return {end && end->exited ? end->code : -1, run.output(), run.errors()};
    }

    std::string version(const fs::path& dir) const {
        return gdtest::readDecrypted(dir / "version.dat");
    }

    gdtest::UpdateSite site_;
    std::pair<fs::path, std::string> publisher_, stranger_;
    std::vector<std::unique_ptr<gdtest::ScriptServer>> servers_;
};

struct Scenario {
    std::string name;
    std::vector<std::string> mirrors;
    std::string ftpFolder;  // "missing": the FTP server has nothing for it
    int code;
    // Which source serves filelist.dat, p1.1.zip and p1.2.zip: the index of
    // a mirror, or -1 for the FTP server.
    std::vector<int> servedBy;
    std::size_t skipped;  // sources left out (by the check, then by the update run)
};

TEST_F(MirrorUpdateTest, EachFileComesFromTheFirstSourceThatServesItSigned) {
    const std::vector<Scenario> scenarios = {
        {"first mirror fails with 500, second good",
         {"status:*:500", "nginx"},
         "good",
         0,
         {1, 1, 1},
         2},
        {"first mirror tampers with an archive",
         {"tamper:p1.1.zip", "nginx"},
         "good",
         0,
         {0, 1, 1},
         1},
        // Unpacking starts again from nothing with the next source.
        {"first mirror tampers with the middle of an archive",
         {"tamper:p1.1.zip:100000", "nginx"},
         "good",
         0,
         {0, 1, 1},
         1},
        {"a dropped archive resumes on the same mirror",
         {"drop:p1.2.zip:50000"},
         "good",
         0,
         {0, 0, 0},
         0},
        {"a mirror that lacks an archive", {"status:p1.2.zip:404"}, "good", 0, {0, 0, -1}, 1},
        {"a stalled mirror", {"stall:p1.1.zip:0"}, "good", 0, {0, -1, -1}, 1},
        {"all mirrors broken, the FTP server good",
         {"foreign", "dead", "status:*:404", "tamper:*"},
         "good",
         0,
         {-1, -1, -1},
         8},
        {"the mirror alone", {"nginx"}, "missing", 0, {0, 0, 0}, 0},
        {"every source fails an archive",
         {"status:p1.2.zip:404", "tamper:p1.2.zip"},
         "foreign",
         5,
         {0, 0},
         2},
    };
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const Scenario& s = scenarios[i];
        SCOPED_TRACE(s.name);
        servers_.clear();
        std::vector<std::string> bases;
        for (const std::string& kind : s.mirrors) bases.push_back(mirror(kind));
        const fs::path dir = install("s" + std::to_string(i), s.ftpFolder, signedWith(bases));

        const Ran ran = gdtool("update", dir);
        EXPECT_EQ(ran.code, s.code) << ran.output << ran.errors;
        EXPECT_EQ(version(dir), s.code == 0 ? "1.200000,1.000000" : "1.100000,1.000000");
        const char* files[] = {"filelist.dat", "p1.1.zip", "p1.2.zip"};
        for (std::size_t f = 0; f < s.servedBy.size(); ++f) {
            const int by = s.servedBy[f];
            const std::string source = by < 0 ? ftpBase(s.ftpFolder) : bases[by];
            EXPECT_NE(ran.output.find("source=" + std::string(files[f]) + "\t" + source + "\n"),
                      std::string::npos)
                << files[f] << "\n"
                << ran.output;
        }
        std::size_t skips = 0;
        for (std::size_t at = ran.errors.find("gdtool: skipping "); at != std::string::npos;
             at = ran.errors.find("gdtool: skipping ", at + 1))
            ++skips;
        EXPECT_EQ(skips, s.skipped) << ran.errors;
    }
}

// Two sources that disagree. The mirror serves the genuine archive and its
// signature, but breaks off after a genuine prefix or spoils a byte past it;
// the FTP server serves an archive of the same size whose update.dat has the
// same size and CRC-32 (so its directory is the genuine one) and runs a
// command. Data before the first entry keeps an archive from streaming.
TEST_F(MirrorUpdateTest, TwoSourcesThatDisagreeNeverMakeOneArchive) {
    struct Split {
        std::string name;
        bool streams;
        std::string fault;
    };
    const std::vector<Split> splits = {
        {"streamed, the mirror breaks off", true, "cut:p1.1.zip:2000"},
        {"whole file, the mirror breaks off", false, "cut:p1.1.zip:2000"},
        {"whole file, the mirror spoils a byte", false, "tamper:p1.1.zip:2000"},
    };
    const fs::path ran = site_.root() / "ran";
    const std::string head = "os.execute('touch " + ran.string() + "') function updater() end ";
    const std::string tail = "--[==[@@@@]==]";
    const std::string good = "function updater() update.copy('payload.bin', 'payload.bin') end --" +
                             std::string(head.size() + tail.size(), '-');
    const std::string evil =
        head + std::string(good.size() - head.size() - tail.size(), ' ') + tail;
    const fs::path stage = site_.root() / "split-stage";
    fs::create_directories(stage);
    gdtest::writeFile(stage / "good.lua", good);
    gdtest::writeFile(stage / "evil.lua", evil);
    ASSERT_EQ(runShell(std::string("/usr/bin/python3 ") + GD_ARCHIVE_MAKER + " samecrc " +
                       shellQuoted(stage / "good.lua") + " " + shellQuoted(stage / "evil.lua") +
                       " " + shellQuoted(stage / "evil.lua")),
              0);
    const std::string forged = gdtest::readFile(stage / "evil.lua");
    gdtest::writeEncrypted(stage / "update.dat", good);
    gdtest::writeFile(stage / "payload.bin", gdtest::randomBytes(300000, 5));
    for (std::size_t i = 0; i < splits.size(); ++i) {
        const Split& s = splits[i];
        SCOPED_TRACE(s.name);
        const std::string name = "split" + std::to_string(i);
        const fs::path genuine = site_.serverFolder(name + "-genuine"),
                       altered = site_.serverFolder(name);
        const std::string stub =
            s.streams
                ? ""
                : " && printf '%100s' | cat - a.zip >s.zip && mv s.zip a.zip && zip -qA a.zip";
        ASSERT_EQ(runShell("cd " + shellQuoted(stage) +
                           " && rm -f a.zip && zip -qX0 a.zip update.dat payload.bin" + stub +
                           " && mv a.zip " + shellQuoted(genuine / "p1.1.zip")),
                  0);
        sign(genuine / "p1.1.zip", publisher_.first);
        gdtest::serveVersionScript(genuine, "1.1", {"'a', 1.1, 'p1.1.zip'"});
        sign(genuine / "filelist.dat", publisher_.first);
        for (const char* file : {"filelist.dat", "filelist.dat.minisig", "p1.1.zip.minisig"})
            fs::copy_file(genuine / file, altered / file);
        std::string bytes = gdtest::readFile(genuine / "p1.1.zip");
        const std::string script = gdtest::enciphered(good);
        ASSERT_LT(bytes.find(script), 2000u - script.size());
        bytes.replace(bytes.find(script), script.size(), gdtest::enciphered(forged));
        gdtest::writeFile(altered / "p1.1.zip", bytes);

        servers_.clear();
        const fs::path dir = install(name, name, signedWith({mirror(s.fault, name + "-genuine")}));
        const gdtest::Tree before = gdtest::snapshotTree(dir);
        const Ran updated = gdtool("update", dir);
        EXPECT_EQ(updated.code, 5) << updated.output << updated.errors;
        EXPECT_NE(updated.errors.find("signature of p1.1.zip refused"), std::string::npos)
            << updated.errors;
        EXPECT_FALSE(fs::exists(ran));
        EXPECT_EQ(gdtest::treeDifferences(before, gdtest::snapshotTree(dir)), "");
        fs::remove(ran);
    }
}

TEST_F(MirrorUpdateTest, OnlineWhenAnySourceAnswers) {
    const std::string dead = "DUREDOR_FTP_ADR = '127.0.0.1:9'\n";
    struct Online {
        std::string mirror;
        std::string extra;
        std::string expected;
    };
    const std::vector<Online> cases = {
        {"nginx", dead, "online=1"},
        {"dead", dead, "online=0"},
        {"dead", "", "online=1"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        servers_.clear();
        const std::string base = mirror(cases[i].mirror);
        const fs::path dir =
            install("o" + std::to_string(i), "good", cases[i].extra + signedWith({base}));
        const Ran checked = gdtool("check", dir);
        EXPECT_NE(checked.output.find(cases[i].expected), std::string::npos);
        // Offline, every source left out is named, the mirrors with the FTP server.
        if (cases[i].expected == "online=0") {
            EXPECT_NE(checked.errors.find("gdtool: skipping " + base + " for this run: "),
                      std::string::npos)
                << checked.errors;
        }
    }
}

TEST_F(MirrorUpdateTest, MirrorSettings) {
    const std::string base = mirror("");
    const std::string record = (site_.root() / "mirror0.requests").string();
    struct Setting {
        std::string name, config, line;
    };
    const std::vector<Setting> cases = {
        {"signed", signedWith({base}), "mirror=" + base + "\n"},
        {"not a web address",
         "DUREDOR_SIGN_KEY = '" + publisher_.second + "'\nDUREDOR_MIRRORS = {'ftp://x/'}\n",
         "unusable=DUREDOR_MIRRORS holds \"ftp://x/\", which is no http:// or https:// URL\n"},
        {"not a list",
         "DUREDOR_SIGN_KEY = '" + publisher_.second + "'\nDUREDOR_MIRRORS = '" + base + "'\n",
         "unusable=DUREDOR_MIRRORS must list"},
        {"unsigned", "DUREDOR_MIRRORS = {'" + base + "'}\n",
         "mirrors=ignored (the installation is unsigned)\n"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const fs::path dir = install("c" + std::to_string(i), "good", cases[i].config);
        EXPECT_NE(gdtool("config", dir).output.find(cases[i].line), std::string::npos);
    }
    // The unsigned installation updates from the FTP server alone.
    const fs::path dir = site_.root() / "installs" / "c3";
    EXPECT_EQ(gdtool("update", dir).code, 0);
    EXPECT_EQ(version(dir), "1.200000,1.000000");
    EXPECT_FALSE(fs::exists(record)) << gdtest::readFile(record);
}

}  // namespace

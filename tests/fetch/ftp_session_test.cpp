// The FTP session against a real FTP server on loopback: logins, directories,
// the version script and downloads through dropped, stalled and short transfers.

#include "fetch/ftp_session.h"
#include "fetch/source_probe.h"
#include "fetch/version_check.h"

#include "script/notifier.h"
#include "script/version_manifest.h"
#include "support/ftp_server.h"
#include "support/string_sink.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <optional>
#include <random>
#include <thread>

namespace {

using gd::DownloadResult;
using gdtest::FtpFault;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1024 * 1024;

const std::string kLatestLine = "latest_version = 1.2\n";
const std::string kFilelistFunction = R"(function filelist(latest)
  patch.File("2024-01-10", "1.1", "a.zip")
  patch.File("2024-02-20", 1.2, "b.zip")
end
)";
const std::string kVersionScript = kLatestLine + kFilelistFunction;

class RecordingNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    }
    std::vector<std::string> messages;
};

std::string randomBytes(std::size_t size) {
    std::mt19937_64 random(size);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

std::vector<std::string> archivesOf(const gd::VersionManifest& manifest) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
        names.push_back(manifest.entryAt(i).archive);
    }
    return names;
}

struct StoppedDownload {
    DownloadResult result;
    milliseconds afterStop;  // from the stop request to the return
};

StoppedDownload downloadStoppedAfter(gd::FtpSession& session, const std::string& name,
                                     const std::filesystem::path& target, milliseconds delay) {
    std::stop_source source;
    Clock::time_point stoppedAt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(delay);
        stoppedAt = Clock::now();
        source.request_stop();
    });
    const DownloadResult result = session.DownloadToFile(name, target, {}, source.get_token());
    const auto returnedAt = Clock::now();
    stopper.join();
    return {result, std::chrono::duration_cast<milliseconds>(returnedAt - stoppedAt)};
}

class FtpSessionTest : public ::testing::Test {
  protected:
    FtpSessionTest() { std::filesystem::create_directories(updateDir()); }

    std::filesystem::path root() const { return dir_.path() / "root"; }
    std::filesystem::path updateDir() const { return root() / "update"; }
    std::filesystem::path local(const std::string& name) const { return dir_.path() / name; }

    gdtest::FtpServer& startServer(gdtest::FtpServerOptions options = {}) {
        options.root = root();
        server_.emplace(std::move(options));
        return *server_;
    }
    gd::ServerRecord record(std::string path = "update") const {
        return server_->record(std::move(path));
    }
    // A file of `size` random bytes in the update directory.
    std::string serve(const std::string& name, std::size_t size) {
        std::string content = randomBytes(size);
        gdtest::writeFile(updateDir() / name, content);
        return content;
    }
    std::vector<std::string> restOffsets() const {
        std::vector<std::string> offsets;
        for (const std::string& offset : server_->arguments("REST")) {
            if (offset != "0") offsets.push_back(offset);  // "REST 0" only asks for support
        }
        return offsets;
    }

    gdtest::TempDir dir_;
    std::optional<gdtest::FtpServer> server_;
};

TEST_F(FtpSessionTest, OpensWithAwkwardCredentialsDirectoriesAndFileNames) {
    std::filesystem::create_directories(root() / "up date #1%" / "ü");
    startServer();  // its password holds '@', ':', '/', ' ', '#', '%' and '?'
    for (const std::string path : {"update", "/update", "update/", "", "/", "up date #1%/ü"}) {
        gd::FtpSession session;
        EXPECT_TRUE(session.Open(record(path))) << path;
        EXPECT_TRUE(session.isOpen()) << path;
        EXPECT_TRUE(gd::ProbeUpdateServer(record(path))) << path;
    }

    const std::string content = "archive";
    gdtest::writeFile(root() / "up date #1%" / "ü" / "a b#%?.zip", content);
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record("up date #1%/ü")));
    EXPECT_EQ(session.DownloadToFile("a b#%?.zip", local("a.zip"), {}), DownloadResult::Done);
    EXPECT_EQ(gdtest::readFile(local("a.zip")), content);
}

TEST_F(FtpSessionTest, RefusedLoginOrMissingDirectoryFailsTheOpen) {
    gdtest::writeEncrypted(root() / "filelist.dat", kVersionScript);
    gdtest::writeEncrypted(updateDir() / "filelist.dat", kVersionScript);
    startServer();
    gd::ServerRecord wrongPassword = record();
    wrongPassword.ftpPassword += "x";
    gd::ServerRecord unknownUser = record();
    unknownUser.ftpUser = "nobody";
    gd::ServerRecord noPort = record();
    noPort.ftpAddress = "127.0.0.1:0";

    for (const gd::ServerRecord& server :
         {wrongPassword, unknownUser, record("nowhere"), record("update/filelist.dat"), noPort,
          record("update\r\nMKD injected")}) {
        gd::FtpSession session;
        EXPECT_FALSE(session.Open(server)) << server.ftpUser << " " << server.ftpPath;
        EXPECT_FALSE(session.isOpen());
        EXPECT_FALSE(gd::ProbeUpdateServer(server));
        RecordingNotifier notifier;
        gd::VersionManifest manifest;
        EXPECT_EQ(gd::FetchLatestVersion(notifier, server, manifest), 0.0f);
        EXPECT_EQ(manifest.entryCount(), 0u);
    }
    EXPECT_EQ(server_->count("MKD"), 0);
}

TEST_F(FtpSessionTest, OpensABracketedIpv6Address) {
    gdtest::FtpServerOptions options;
    options.host = "::1";
    try {
        startServer(options);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_TRUE(server_->address().starts_with("[::1]:"));
    gd::FtpSession session;
    EXPECT_TRUE(session.Open(record()));
}

TEST_F(FtpSessionTest, OnlineTestLeavesLoopbackServersToTheProbe) {
    startServer();
    // Without an application there is nobody to ask: the probe decides.
    EXPECT_TRUE(gd::IsInternetAvailable());
    int argc = 1;
    char name[] = "ftp_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    for (const char* address : {"127.0.0.1:21", "127.8.9.10", "[::1]:2121", "localhost:21"}) {
        EXPECT_TRUE(gd::IsInternetAvailable(address)) << address;
    }
    EXPECT_TRUE(gd::IsInternetAvailable(record().ftpAddress));
    EXPECT_TRUE(gd::ProbeUpdateServer(record()));
    // What the system says depends on the machine; asking must merely work.
    (void)gd::IsInternetAvailable();
}

TEST_F(FtpSessionTest, FetchesTheVersionScriptEvenWhenItArrivesInPieces) {
    // Padding puts the definition of filelist far behind the first network read.
    const std::string script =
        kLatestLine + "--" + std::string(2900, 'x') + "\n" + kFilelistFunction;
    gdtest::writeEncrypted(updateDir() / "filelist.dat", script);
    gdtest::FtpServerOptions options;
    options.rateLimit = 20000;  // 1000-byte sends, 50 ms apart
    startServer(options);

    RecordingNotifier notifier;
    gd::VersionManifest manifest;
    EXPECT_EQ(gd::FetchLatestVersion(notifier, record(), manifest), 1.2f);
    EXPECT_EQ(archivesOf(manifest), (std::vector<std::string>{"a.zip", "b.zip"}));
    EXPECT_TRUE(notifier.messages.empty());

    server_->setFaults({});
    gdtest::writeEncrypted(updateDir() / "filelist.dat", kVersionScript);
    gd::ServerRecord installed = record();
    installed.installedVersion = 1.1f;
    EXPECT_EQ(gd::FetchLatestVersion(notifier, installed, manifest), 1.2f);
    EXPECT_EQ(archivesOf(manifest), std::vector<std::string>{"b.zip"});
}

TEST_F(FtpSessionTest, EvaluatesOnlyTheFirst4096BytesOfTheVersionScript) {
    std::string script = kVersionScript + "--";
    script.resize(gd::kVersionScriptLimit, 'x');  // ends inside the comment
    script += "\nthis is no Lua at all (";
    gdtest::writeEncrypted(updateDir() / "filelist.dat", script);
    startServer();

    RecordingNotifier notifier;
    gd::VersionManifest manifest;
    // The whole file would not load; what the launcher reads of it does.
    ASSERT_EQ(gd::runVersionScript(notifier, script, 1.0f, manifest), 0.0f);
    notifier.messages.clear();
    EXPECT_EQ(gd::FetchLatestVersion(notifier, record(), manifest), 1.2f);
    EXPECT_EQ(manifest.entryCount(), 2u);
    EXPECT_TRUE(notifier.messages.empty());
}

TEST_F(FtpSessionTest, EmptyOrMissingVersionScriptMeansNoUpdate) {
    gdtest::writeFile(updateDir() / "filelist.dat", "");
    startServer();
    RecordingNotifier notifier;
    gd::VersionManifest manifest;
    EXPECT_EQ(gd::FetchLatestVersion(notifier, record(), manifest), 0.0f);

    std::filesystem::remove(updateDir() / "filelist.dat");
    EXPECT_EQ(gd::FetchLatestVersion(notifier, record(), manifest), 0.0f);
    EXPECT_EQ(manifest.entryCount(), 0u);
    EXPECT_TRUE(notifier.messages.empty());
}

// Reports rise to 100 at the end, paced by the percent and the half second
// (a slow line's are in UpdateWorkerTest.ProgressMovesOnASlowLine).
TEST_F(FtpSessionTest, DownloadsInChunksAndReportsUpToTheEnd) {
    const std::string big = serve("big.zip", 9 * kMiB);
    serve("empty.zip", 0);
    startServer();
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));

    std::vector<int> reports;
    const auto progress = [&](const gd::TransferProgress& p) { reports.push_back(p.percent); };
    EXPECT_EQ(session.DownloadToFile("big.zip", local("big.zip"), progress), DownloadResult::Done);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), 100);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), 100), 1);
    EXPECT_TRUE(gdtest::readFile(local("big.zip")) == big);

    reports.clear();
    gdtest::writeFile(local("empty.zip"), "left over");
    EXPECT_EQ(session.DownloadToFile("empty.zip", local("empty.zip"), progress),
              DownloadResult::Done);
    EXPECT_EQ(reports, std::vector<int>{100});
    EXPECT_EQ(std::filesystem::file_size(local("empty.zip")), 0u);
}

// A download that continues what a sink holds counts the bytes that
// travel, not the whole file: 4 MiB of 9.
TEST_F(FtpSessionTest, AContinuedDownloadCountsTheBytesThatTravel) {
    const std::string big = serve("big.zip", 9 * kMiB);
    startServer();
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));
    gdtest::StringSink sink;
    sink.text = big.substr(0, 5 * kMiB);
    std::vector<gd::TransferProgress> reports;
    EXPECT_EQ(session.Download("big.zip", sink,
                               [&](const gd::TransferProgress& p) { reports.push_back(p); }),
              DownloadResult::Done);
    EXPECT_TRUE(sink.text == big);
    ASSERT_FALSE(reports.empty());
    for (const gd::TransferProgress& report : reports) {
        EXPECT_EQ(report.toTravel, 4 * kMiB);
        EXPECT_EQ(report.percent, static_cast<int>(report.travelled * 100 / (4 * kMiB)));
    }
    EXPECT_EQ(reports.back().travelled, 4 * kMiB);
}

TEST_F(FtpSessionTest, TransfersOfOneSessionShareOneLogin) {
    serve("a.zip", 1000);
    serve("b.zip", 5 * kMiB);
    gdtest::writeEncrypted(updateDir() / "filelist.dat", kVersionScript);
    startServer();
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));
    EXPECT_TRUE(session.ReadHead("filelist.dat", gd::kVersionScriptLimit).has_value());
    EXPECT_EQ(session.DownloadToFile("a.zip", local("a.zip"), {}), DownloadResult::Done);
    EXPECT_EQ(session.DownloadToFile("b.zip", local("b.zip"), {}), DownloadResult::Done);
    EXPECT_EQ(server_->count("CONNECT"), 1);
    EXPECT_EQ(server_->count("USER"), 1);
    EXPECT_EQ(server_->arguments("RETR"),
              (std::vector<std::string>{"filelist.dat", "a.zip", "b.zip"}));
}

TEST_F(FtpSessionTest, DroppedTransferResumesAtTheByteReached) {
    const std::string big = serve("big.zip", 9 * kMiB);
    gdtest::FtpServerOptions options;
    options.faults = {{FtpFault::Kind::Drop, "big.zip", 3 * kMiB + 7, 2}};
    startServer(options);
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));

    std::vector<int> reports, retries;
    const auto progress = [&](const gd::TransferProgress& p) {
        if (p.retryAttempt == 0) return reports.push_back(p.percent);
        // Each drop strikes in a chunk of its own: the second attempt of each.
        EXPECT_EQ(p.retryAttempt, 2);
        EXPECT_EQ(p.retryWait, gd::kChunkRetryPause);
        retries.push_back(p.percent);
    };
    EXPECT_EQ(session.DownloadToFile("big.zip", local("big.zip"), progress), DownloadResult::Done);
    EXPECT_TRUE(gdtest::readFile(local("big.zip")) == big);
    EXPECT_EQ(restOffsets(), (std::vector<std::string>{"3145735", "6291470"}));
    EXPECT_EQ(retries, (std::vector<int>{33, 66}));  // said before each wait
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), 100);
}

TEST_F(FtpSessionTest, StalledTransferFailsTheAttemptAfterTheStallTimeout) {
    const std::string content = serve("big.zip", 2 * kMiB);
    gdtest::FtpServerOptions options;
    options.faults = {{FtpFault::Kind::Stall, "big.zip", kMiB, 1}};
    startServer(options);
    gd::FtpSession session(gd::FtpTimeouts{std::chrono::seconds(5), std::chrono::seconds(1)});
    ASSERT_TRUE(session.Open(record()));

    const auto start = Clock::now();
    EXPECT_EQ(session.DownloadToFile("big.zip", local("big.zip"), {}), DownloadResult::Done);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(gdtest::readFile(local("big.zip")) == content);
    EXPECT_EQ(restOffsets(), std::vector<std::string>{std::to_string(kMiB)});
}

TEST_F(FtpSessionTest, TransferThatKeepsEndingShortIsReadFailed) {
    serve("big.zip", 9 * kMiB);
    gdtest::FtpServerOptions options;
    // The server claims success (226) each time after 1000 bytes.
    options.faults = {{FtpFault::Kind::Truncate, "big.zip", 1000, -1}};
    startServer(options);
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));

    std::vector<int> attempts;
    const auto progress = [&](const gd::TransferProgress& p) {
        attempts.push_back(p.retryAttempt);
    };
    EXPECT_EQ(session.DownloadToFile("big.zip", local("big.zip"), progress),
              DownloadResult::ReadFailed);
    // Nothing but the retries, each said: attempts 2 to kChunkAttempts.
    std::vector<int> said(gd::kChunkAttempts - 1);
    std::iota(said.begin(), said.end(), 2);
    EXPECT_EQ(attempts, said);
    EXPECT_EQ(server_->count("RETR"), gd::kChunkAttempts);
    std::vector<std::string> expected;
    for (int attempt = 1; attempt < gd::kChunkAttempts; ++attempt) {
        expected.push_back(std::to_string(attempt * 1000));
    }
    EXPECT_EQ(restOffsets(), expected);
    EXPECT_EQ(std::filesystem::file_size(local("big.zip")), 16000u);
}

// Whatever the server does, a check ends within a minute: here it trickles
// filelist.dat fast enough for the no-progress rule, which would take 4 min.
TEST_F(FtpSessionTest, AProbeAndAFetchFromATricklingServerEndWithinAMinute) {
    gdtest::writeEncrypted(updateDir() / "filelist.dat",
                           kVersionScript + "--" + std::string(960, 'x') + "\n");
    gdtest::FtpServerOptions options;
    options.faults = {{FtpFault::Kind::Trickle, "filelist.dat", 0, -1}};
    startServer(options);
    RecordingNotifier notifier;
    gd::VersionManifest manifest;

    const auto start = Clock::now();
    EXPECT_TRUE(gd::ProbeUpdateServer(record()));
    EXPECT_EQ(gd::FetchLatestVersion(notifier, record(), manifest), 0.0f);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
    EXPECT_TRUE(notifier.messages.empty());
}

// No byte past the announced size, nor past the caller's limit, reaches the
// disk, however much more the server would send.
TEST_F(FtpSessionTest, ADownloadStopsAtTheAnnouncedSizeAndTheLimit) {
    struct Row {
        const char* what;
        std::vector<FtpFault> faults;
        std::uint64_t limit;
        DownloadResult result;
        std::uint64_t atMost;  // bytes in the local file afterwards
    };
    const std::uint64_t noLimit = UINT64_MAX;
    const Row rows[] = {
        {"more than announced",
         {{FtpFault::Kind::Overrun, "a.zip", 64 * kMiB, -1}},
         noLimit,
         DownloadResult::ReadFailed,
         kMiB},
        {"no size, more than the limit",
         {{FtpFault::Kind::Unsized, "a.zip", 0, -1},
          {FtpFault::Kind::Overrun, "a.zip", 64 * kMiB, -1}},
         2 * kMiB,
         DownloadResult::TooLarge,
         2 * kMiB},
        {"announced over the limit", {}, kMiB - 1, DownloadResult::TooLarge, 0},
    };
    serve("a.zip", kMiB);
    gdtest::FtpServerOptions options;
    options.faults = rows[0].faults;
    startServer(options);
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));
    for (const Row& row : rows) {
        server_->setFaults(row.faults);
        const int transfers = server_->count("RETR");
        EXPECT_EQ(session.DownloadToFile("a.zip", local(row.what), {}, {}, row.limit), row.result)
            << row.what;
        const auto path = local(row.what);
        EXPECT_LE(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0, row.atMost)
            << row.what;
        if (row.atMost == 0) {
            EXPECT_EQ(server_->count("RETR"), transfers) << "never asked for";
        }
    }
}

TEST_F(FtpSessionTest, MissingRemoteOrUncreatableLocalFileIsNotOpened) {
    serve("a.zip", 10);
    startServer();
    gd::FtpSession session;
    EXPECT_EQ(session.DownloadToFile("a.zip", local("a.zip"), {}), DownloadResult::NotOpened);
    ASSERT_TRUE(session.Open(record()));
    EXPECT_EQ(session.DownloadToFile("missing.zip", local("m.zip"), {}), DownloadResult::NotOpened);
    EXPECT_FALSE(std::filesystem::exists(local("m.zip")));
    EXPECT_EQ(session.DownloadToFile("a.zip", local("no-such-dir") / "a.zip", {}),
              DownloadResult::NotOpened);
    // A name from the version script never smuggles in a command of its own.
    EXPECT_EQ(session.DownloadToFile("a.zip\r\nDELE a.zip", local("x.zip"), {}),
              DownloadResult::NotOpened);
    EXPECT_EQ(server_->count("DELE"), 0);
    // The session survives both.
    EXPECT_EQ(session.DownloadToFile("a.zip", local("a.zip"), {}), DownloadResult::Done);
    // Whatever is at the local path is replaced, never written through.
    gdtest::writeFile(local("target"), "kept");
    std::filesystem::create_symlink(local("target"), local("link.zip"));
    EXPECT_EQ(session.DownloadToFile("a.zip", local("link.zip"), {}), DownloadResult::Done);
    EXPECT_EQ(gdtest::readFile(local("target")), "kept");
    EXPECT_FALSE(std::filesystem::is_symlink(local("link.zip")));
}

TEST_F(FtpSessionTest, StopTokenCancelsPromptlyWhereverTheDownloadWaits) {
    serve("big.zip", 9 * kMiB);
    gdtest::FtpServerOptions options;
    options.rateLimit = 512 * 1024;
    startServer(options);
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record()));
    const milliseconds prompt(1500);

    auto stopped = downloadStoppedAfter(session, "big.zip", local("a"), milliseconds(300));
    EXPECT_EQ(stopped.result, DownloadResult::Cancelled) << "slow transfer";
    EXPECT_LT(stopped.afterStop, prompt) << "slow transfer";

    server_->setFaults({{FtpFault::Kind::Stall, "big.zip", 64 * 1024, -1}});
    stopped = downloadStoppedAfter(session, "big.zip", local("b"), milliseconds(500));
    EXPECT_EQ(stopped.result, DownloadResult::Cancelled) << "stalled transfer";
    EXPECT_LT(stopped.afterStop, prompt) << "stalled transfer";

    server_->setFaults({{FtpFault::Kind::Drop, "big.zip", 0, -1}});
    stopped = downloadStoppedAfter(session, "big.zip", local("c"), milliseconds(1500));
    EXPECT_EQ(stopped.result, DownloadResult::Cancelled) << "pause between attempts";
    EXPECT_LT(stopped.afterStop, prompt) << "pause between attempts";

    std::stop_source early;
    early.request_stop();
    EXPECT_EQ(session.DownloadToFile("big.zip", local("d"), {}, early.get_token()),
              DownloadResult::Cancelled);
}

}  // namespace

// Explicit FTPS against a real server that requires it (pyftpdlib's TLS
// handler, or proftpd's mod_tls when GD_TEST_FTP_SERVER=proftpd), with a CA
// and certificates made by openssl at test time.

#include "fetch/ftp_session.h"
#include "fetch/source_probe.h"
#include "fetch/version_check.h"

#include "script/notifier.h"
#include "script/version_manifest.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ReasonRecorder : public gd::Notifier {
  public:
    void showMessage(std::string_view, std::string_view) override {}
    void refused(std::string_view reason) override { reasons.emplace_back(reason); }
    std::vector<std::string> reasons;
};

std::size_t positionOf(const std::vector<std::string>& commands, std::string_view command) {
    return static_cast<std::size_t>(std::find(commands.begin(), commands.end(), command) -
                                    commands.begin());
}

class FtpsTest : public ::testing::Test {
  protected:
    FtpsTest()
        : ours_(root_.path() / "ours", "gdtest publisher CA"),
          theirs_(root_.path() / "theirs", "gdtest other CA") {
        fs::create_directories(root_.path() / "server/update");
        gdtest::writeEncrypted(updateDir() / "filelist.dat",
                               "latest_version = 1.1\nfunction filelist() "
                               "patch.File('a', 1.1, 'a.zip') end\n");
        gdtest::writeFile(updateDir() / "a.zip", gdtest::randomBytes(3 << 20, 5));
    }

    fs::path updateDir() const { return root_.path() / "server/update"; }

    gdtest::FtpServerOptions options(bool tls) const {
        gdtest::FtpServerOptions options;
        options.root = root_.path() / "server";
        if (tls) {
            options.tlsCertificate = ours_.certificate;
            options.tlsKey = ours_.key;
        }
        return options;
    }

    static gd::ServerRecord secure(const gdtest::FtpServer& server, const fs::path& ca) {
        gd::ServerRecord record = server.record("/update");
        record.ftpTls = true;
        record.ftpCaFile = ca.string();
        return record;
    }

    gdtest::TempDir root_;
    gdtest::TestCertificates ours_, theirs_;
};

TEST_F(FtpsTest, ListsAndDownloadsOverTlsOnly) {
    gdtest::FtpServer server(options(true));
    const gd::ServerRecord record = secure(server, ours_.caFile);
    EXPECT_TRUE(gd::ProbeUpdateServer(record));
    ReasonRecorder notifier;
    gd::VersionManifest manifest;
    EXPECT_FLOAT_EQ(gd::FetchLatestVersion(notifier, record, manifest), 1.1f);

    gd::FtpSession session;
    ASSERT_TRUE(session.Open(record));
    const fs::path local = root_.path() / "a.zip";
    EXPECT_EQ(session.DownloadToFile("a.zip", local, {}), gd::DownloadResult::Done);
    EXPECT_TRUE(gdtest::readFile(local) == gdtest::readFile(updateDir() / "a.zip"));

    // The login only after AUTH TLS, every transfer only after PROT P.
    const std::vector<std::string> commands = server.commands();
    EXPECT_LT(positionOf(commands, "AUTH TLS"), positionOf(commands, "USER gd-updater"));
    EXPECT_LT(positionOf(commands, "PROT P"), positionOf(commands, "RETR a.zip"));
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "PROT C"), 0);
}

// Each: the server, what the launcher is given, and what the refusal says.
struct Refused {
    const char* name;
    bool serverTls;
    bool theirCa;        // DUREDOR_FTP_CA names another CA than the server's
    const char* caName;  // relative to the test root; empty: the CA chosen above
    const char* says;
};

TEST_F(FtpsTest, FailedHandshakesCountAsUnreachableAndSayWhy) {
    const std::vector<Refused> cases = {
        {"certificate from another CA", true, true, "", "certificate"},
        {"CA file missing", true, false, "missing.pem", "missing.pem"},
        {"server without TLS", false, false, "", "no secure connection"},
    };
    for (const Refused& refused : cases) {
        SCOPED_TRACE(refused.name);
        gdtest::FtpServer server(options(refused.serverTls));
        const fs::path ca = *refused.caName   ? root_.path() / refused.caName
                            : refused.theirCa ? theirs_.caFile
                                              : ours_.caFile;
        const gd::ServerRecord record = secure(server, ca);
        const gd::ProbeAnswer probe = gd::ProbeSources(record);
        EXPECT_FALSE(probe.online);
        EXPECT_NE(probe.tlsFailure.find(refused.says), std::string::npos) << probe.tlsFailure;
        ReasonRecorder notifier;
        gd::VersionManifest manifest;
        EXPECT_EQ(gd::FetchLatestVersion(notifier, record, manifest), 0.0f);
        ASSERT_EQ(notifier.reasons.size(), 1u);
        EXPECT_NE(notifier.reasons[0].find(refused.says), std::string::npos) << notifier.reasons[0];
        // The password never went out, in plain text or otherwise.
        for (const std::string& command : server.commands())
            EXPECT_FALSE(command.starts_with("PASS")) << command;
    }
}

TEST_F(FtpsTest, ResumesADroppedDownloadOverTls) {
    gdtest::FtpServerOptions withDrops = options(true);
    withDrops.faults = {gdtest::FtpFault{gdtest::FtpFault::Kind::Drop, "a.zip", 1000000, 2}};
    gdtest::FtpServer server(withDrops);
    gd::FtpSession session;
    ASSERT_TRUE(session.Open(secure(server, ours_.caFile)));
    const fs::path local = root_.path() / "a.zip";
    EXPECT_EQ(session.DownloadToFile("a.zip", local, {}), gd::DownloadResult::Done);
    EXPECT_TRUE(gdtest::readFile(local) == gdtest::readFile(updateDir() / "a.zip"));
    // (REST 0 is libcurl asking whether the server can resume at all.)
    std::vector<std::string> offsets = server.arguments("REST");
    std::erase(offsets, "0");
    EXPECT_EQ(offsets, (std::vector<std::string>{"1000000", "2000000"}));
}

}  // namespace

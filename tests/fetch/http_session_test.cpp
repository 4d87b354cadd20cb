// Downloads from mirrors against real servers on loopback: Python's
// http.server with injected faults (tests/support/mirror_server.py) and
// Debian's nginx over TLS with a CA made by openssl at test time.

#include "fetch/http_session.h"

#include "support/script_server.h"
#include "support/string_sink.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using gdtest::StringSink;

std::vector<std::string> lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class HttpSessionTest : public ::testing::Test {
  protected:
    HttpSessionTest() : file_(gdtest::randomBytes(300000, 7)) {
        fs::create_directories(root());
        gdtest::writeFile(root() / "f.zip", file_);
    }
    fs::path root() const { return temp_.path() / "root"; }
    fs::path record() const { return temp_.path() / "requests.txt"; }

    gdtest::ScriptServer mirror(const std::vector<std::string>& faults) {
        std::vector<std::string> args = {GD_MIRROR_SERVER_SCRIPT, "--root", root().string(),
                                         "--record", record().string()};
        for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
        return gdtest::ScriptServer(args);
    }

    gdtest::ScriptServer nginx(const gdtest::TestCertificates& tls, const std::string& text) {
        return gdtest::ScriptServer({GD_NGINX_SERVER_SCRIPT, "--root", root().string(), "--work",
                                     (temp_.path() / "nginx").string(), "--cert",
                                     tls.certificate.string(), "--key", tls.key.string(),
                                     "--server-text", text});
    }

    gdtest::TempDir temp_;
    std::string file_;
};

struct Case {
    std::string name;
    std::vector<std::string> faults;
    gd::DownloadResult result;
    std::string rangeAsked;  // a Range header that must have been sent
    std::uint64_t limit = UINT64_MAX;
    std::size_t held = 0;  // bytes the sink holds before, as of a download kept from an earlier run
};

TEST_F(HttpSessionTest, FaultsOfAMirror) {
    using R = gd::DownloadResult;
    const std::vector<Case> cases = {
        {"whole file", {}, R::Done, ""},
        {"drop resumed by Range", {"drop:f.zip:100000"}, R::Done, "bytes=100000-"},
        {"drop, then 200 to the Range",
         {"drop:f.zip:100000", "norange:f.zip"},
         R::Done,
         "bytes=100000-"},
        {"not found", {"status:f.zip:404"}, R::NotOpened, ""},
        {"server error", {"status:f.zip:500"}, R::NotOpened, ""},
        {"stall, resumed by Range", {"stallonce:f.zip:1000"}, R::Done, "bytes=1000-"},
        {"stall without a byte", {"stall:f.zip:0"}, R::ReadFailed, ""},
        {"five redirects", {"redirect:f.zip:5"}, R::Done, ""},
        {"six redirects", {"redirect:f.zip:6"}, R::NotOpened, ""},
        {"larger than the limit", {}, R::TooLarge, "", 1000},
        {"206 from another offset than asked",
         {"shift:f.zip:1000"},
         R::ReadFailed,
         "bytes=100000-",
         UINT64_MAX,
         100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(record());
        const gdtest::ScriptServer server = mirror(c.faults);
        gd::HttpSession session({.timeouts = {.connect = 5s, .stall = 1s}});
        StringSink sink;
        sink.text = file_.substr(0, c.held);
        std::vector<int> reports, retries;
        const auto result = session.Download(
            "http://127.0.0.1:" + std::to_string(server.port()) + "/f.zip", sink,
            [&](const gd::TransferProgress& p) {
                (p.retryAttempt > 0 ? retries : reports).push_back(p.percent);
            },
            {}, c.limit);
        EXPECT_EQ(result, c.result) << session.failure();
        if (result == R::Done) {
            EXPECT_TRUE(sink.text == file_);
            EXPECT_EQ(reports.back(), 100);
            EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
            // A resumed transfer says it tries again before it does.
            EXPECT_EQ(retries.size(), c.rangeAsked.empty() ? 0u : 1u);
        }
        // Bytes from elsewhere in the file never continue what was held.
        if (result != R::Done) {
            EXPECT_TRUE(sink.text == file_.substr(0, c.held));
        }
        if (!c.rangeAsked.empty()) {
            const auto asked = lines(record());
            EXPECT_EQ(asked.back(), "GET /f.zip " + c.rangeAsked);
        }
    }
    // A sink that holds the first bytes already: only the rest travels.
    const gdtest::ScriptServer server = mirror({});
    gd::HttpSession session({.timeouts = {.connect = 5s, .stall = 1s}});
    StringSink sink;
    sink.text = file_.substr(0, 100000);
    std::vector<gd::TransferProgress> reports;
    EXPECT_EQ(session.Download("http://127.0.0.1:" + std::to_string(server.port()) + "/f.zip", sink,
                               [&](const gd::TransferProgress& p) { reports.push_back(p); }),
              R::Done);
    EXPECT_TRUE(sink.text == file_);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].travelled, file_.size() - 100000);
}

TEST_F(HttpSessionTest, ProxiesOnlyWhenTheUserSaysSo) {
    const gdtest::ScriptServer server = mirror({});
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/f.zip";
    // Nothing listens on port 9 of loopback.
    ::setenv("http_proxy", "http://127.0.0.1:9", 1);
    for (const std::string proxy : {"", gd::kProxyFromEnvironment, "http://127.0.0.1:9"}) {
        SCOPED_TRACE(proxy);
        gd::HttpSession session({.timeouts = {.connect = 5s, .stall = 5s}, .proxy = proxy});
        StringSink sink;
        EXPECT_EQ(session.Download(url, sink, {}),
                  proxy.empty() ? gd::DownloadResult::Done : gd::DownloadResult::NotOpened);
    }
    ::unsetenv("http_proxy");
}

TEST_F(HttpSessionTest, CertificatesAndRedirectsOverTls) {
    const gdtest::TestCertificates ours(temp_.path() / "ours", "gdtest mirror CA");
    const gdtest::ScriptServer plain = mirror({});
    const std::string plainBase = "http://127.0.0.1:" + std::to_string(plain.port());
    const gdtest::ScriptServer secure =
        nginx(ours, "location = /down/f.zip { return 302 " + plainBase +
                        "/f.zip; }\n"
                        "location = /up/f.zip { return 302 /f.zip; }");
    const std::string base = "https://127.0.0.1:" + std::to_string(secure.port());
    struct Tls {
        std::string name, path;
        bool withCa;
        gd::DownloadResult result;
    };
    const std::vector<Tls> cases = {
        {"checked against the CA", "/f.zip", true, gd::DownloadResult::Done},
        {"redirect within https", "/up/f.zip", true, gd::DownloadResult::Done},
        {"unknown CA", "/f.zip", false, gd::DownloadResult::NotOpened},
        {"redirect from https to http", "/down/f.zip", true, gd::DownloadResult::NotOpened},
    };
    for (const Tls& c : cases) {
        SCOPED_TRACE(c.name);
        gd::HttpSession session({.caFile = c.withCa ? ours.caFile.string() : ""});
        StringSink sink;
        EXPECT_EQ(session.Download(base + c.path, sink, {}), c.result) << session.failure();
    }
    EXPECT_TRUE(lines(record()).empty());  // the plain server was never reached
}

}  // namespace

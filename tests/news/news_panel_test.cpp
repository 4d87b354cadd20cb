#include "news/news_panel.h"
#include "install/registry.h"

#include "install/registry.h"
#include "support/gui_application.h"
#include "support/news_server.h"

#include "util/unique_fd.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// Accepts connections into its backlog and never answers them.
class SilentListener {
  public:
    SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_.get(), 16);
        socklen_t length = sizeof address;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    int port() const { return port_; }

  private:
    gd::UniqueFd fd_;
    int port_ = 0;
};

constexpr const char* kPage = "<html><body><h1>お知らせ</h1></body></html>";

// Waits until the server has seen `count` requests, then a little longer so
// that an unwanted further request would show.
std::vector<gdtest::HttpRequest> settle(const gdtest::NewsServer& server, std::size_t count) {
    if (!QTest::qWaitFor([&] { return server.requests().size() >= count; }, 20000)) return {};
    QTest::qWait(300);
    return server.requests();
}

TEST(NewsPanel, PostsTheBodyByteForByteToTheAddressAsItIs) {
    gdtest::guiApplication();
    gdtest::NewsServer server(kPage);
    const std::string ids[] = {"", "a&b", "x= y", "\x83\x5c\x83\x67", "山田太郎"};
    for (const std::string& id : ids) {
        QWidget window;
        window.resize(502, 365);
        window.show();
        gd::NewsPanel panel;
        panel.createBrowserHost(&window, QRect(0, 19, 412, 300));
        ASSERT_TRUE(panel.attachBrowser());
        const std::size_t before = server.requests().size();
        panel.sendNewsRequest(server.address("/news%20page.php?k=%26%E3%81%82%2F"), id);

        const auto requests = settle(server, before + 1);
        ASSERT_EQ(requests.size(), before + 1) << id;
        const gdtest::HttpRequest& request = requests.back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/news%20page.php?k=%26%E3%81%82%2F");
        EXPECT_EQ(request.headers.at("Content-type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(request.body, "mode=news&id=" + id);
        EXPECT_EQ(request.body.size(), 13 + id.size());
        panel.releaseBrowser();
    }
}

TEST(NewsPanel, AccountIdComesFromTheUserScopeByteForByte) {
    EXPECT_EQ(gd::readAccountId(), "");
    ASSERT_TRUE(gd::writeRegistryValue(gd::RegistryScope::User, "AccountId", "山田&id"));
    EXPECT_EQ(gd::readAccountId(), "山田&id");
    EXPECT_EQ(gd::makePostData("").size(), 13);
}

TEST(NewsPanel, ReleasingWhileThePageLoadsNeitherCrashesNorHangs) {
    gdtest::guiApplication();
    QWidget window;
    window.show();
    gd::NewsPanel panel;
    panel.createBrowserHost(&window, QRect(0, 0, 200, 200));
    panel.attachBrowser();
    // A loopback listener that never answers keeps the page loading; an empty
    // address fails at once.
    const SilentListener silent;
    panel.sendNewsRequest("http://127.0.0.1:" + std::to_string(silent.port()) + "/news.php", "id");
    QTest::qWait(200);
    panel.releaseBrowser();
    EXPECT_EQ(panel.newsBrowser(), nullptr);

    gd::NewsPanel empty;
    empty.createBrowserHost(&window, QRect(0, 0, 200, 200));
    empty.attachBrowser();
    empty.sendNewsRequest("", "");
    QTest::qWait(200);
}

bool hasPath(const std::vector<gdtest::HttpRequest>& requests, const std::string& prefix) {
    for (const gdtest::HttpRequest& request : requests)
        if (request.path.rfind(prefix, 0) == 0) return true;
    return false;
}

TEST(NewsPanel, AHostilePageStaysTheNewsPage) {
    gdtest::guiApplication();
    // A page that tries everything a news page must not do. Its reports come
    // back to its own server as requests; "localhost" is another origin than
    // the page's 127.0.0.1. The end-to-end test clicks its links.
    gdtest::NewsServer server(gdtest::readFile(GD_HOSTILE_NEWS_PAGE));
    // Any dialog the page manages to show is counted and closed.
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++dialogs;
            modal->close();
        }
    });
    closer.start(50);

    QWidget window;
    window.resize(502, 365);
    window.show();
    gd::NewsPanel panel;
    panel.createBrowserHost(&window, QRect(0, 19, 412, 300));
    ASSERT_TRUE(panel.attachBrowser());
    panel.sendNewsRequest(server.address("/news.php"), "id");
    const auto reported = [&](const std::string& prefix) {
        return QTest::qWaitFor([&] { return hasPath(server.requests(), prefix); }, 10000);
    };
    EXPECT_TRUE(reported("/dialogs?confirm=false&prompt=null")) << "dialogs answered no at once";
    EXPECT_TRUE(reported("/notification?denied"));
    EXPECT_TRUE(reported("/geolocation?refused"));
    QTest::qWait(1000);  // the script's navigation had its chance
    EXPECT_EQ(panel.newsBrowser()->property("url").toUrl().path().toStdString(), "/news.php");

    EXPECT_EQ(dialogs, 0);
    for (const gdtest::HttpRequest& request : server.requests())
        EXPECT_EQ(request.headers.at("Host").rfind("127.0.0.1:", 0), 0u)
            << request.path << " left the page's origin";
    EXPECT_FALSE(hasPath(server.requests(), "/popup"));
    panel.releaseBrowser();
}

}  // namespace

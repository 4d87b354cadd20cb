#include "news/news_panel.h"

#include "install/registry.h"

#include <QVBoxLayout>
#include <QWebEngineHttpRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QWidget>

namespace gd {

namespace {

constexpr char kPostPrefix[] = "mode=news&id=";

}  // namespace

QByteArray makePostData(std::string_view accountId) {
    QByteArray body(kPostPrefix);
    body.append(accountId.data(), static_cast<qsizetype>(accountId.size()));
    return body;
}

std::string readAccountId() {
    return readRegistryValue(RegistryScope::user, "AccountId").value_or(std::string{});
}

NewsPanel::~NewsPanel() {
    releaseBrowser();
}

bool NewsPanel::createBrowserHost(QWidget* window, const PixelRect& rect) {
    newsHostWindow_ = new QWidget(window);
    newsHostWindow_->setGeometry(rect.x, rect.y, rect.width, rect.height);
    newsHostWindow_->show();
    return true;
}

bool NewsPanel::attachBrowser() {
    if (newsHostWindow_ == nullptr) return false;
    if (newsBrowser_ != nullptr) return true;
    // A profile of its own that keeps nothing on disk: the page is the
    // server's, and nothing of it needs to outlive the launcher.
    profile_ = new QWebEngineProfile(newsHostWindow_);
    newsBrowser_ = new QWebEngineView(profile_, newsHostWindow_);
    newsBrowser_->setContextMenuPolicy(Qt::NoContextMenu);
    auto* layout = new QVBoxLayout(newsHostWindow_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(newsBrowser_);
    return true;
}

void NewsPanel::sendNewsRequest(const std::string& address, std::string_view accountId) {
    if (newsBrowser_ == nullptr) return;
    QWebEngineHttpRequest request(
        QUrl::fromEncoded(QByteArray::fromStdString(address), QUrl::TolerantMode),
        QWebEngineHttpRequest::Post);
    request.setHeader("Content-type", "application/x-www-form-urlencoded");
    request.setPostData(makePostData(accountId));
    newsBrowser_->load(request);
}

void NewsPanel::releaseBrowser() {
    // The page goes before its profile.
    delete newsBrowser_;
    newsBrowser_ = nullptr;
    delete profile_;
    profile_ = nullptr;
}

}  // namespace gd

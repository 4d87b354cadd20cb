#include "news/news_page.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QWebEngineFileSystemAccessRequest>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEngineRegisterProtocolHandlerRequest>
#include <QWidget>

namespace gd {

namespace {

// How long after the user's click or key a navigation still counts as theirs.
constexpr qint64 kUserInputWindowMs = 1000;

// A window the page asked for exists only to see where its first navigation
// goes: a link the user opened that way goes to the desktop's browser like
// any other link to elsewhere; the window itself never appears.
class LinkCatcher : public QWebEnginePage {
  public:
    LinkCatcher(QWebEngineProfile* profile, QObject* parent, bool userOpened)
        : QWebEnginePage(profile, parent), userOpened_(userOpened) {}

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        if (userOpened_ && isMainFrame && type == NavigationTypeLinkClicked && isWebUrl(url))
            QDesktopServices::openUrl(url);
        deleteLater();
        return false;
    }

  private:
    bool userOpened_;
};

// Why a load failed, for the log: the server's HTTP status, or the engine's
// network error (its text for a status is the engine's error page).
QString loadFailure(const QWebEngineLoadingInfo& info) {
    const QString where = info.url().toDisplayString();
    const int code = info.errorCode();
    if (code > 0) return where + QStringLiteral(" answered HTTP ") + QString::number(code);
    return where + QStringLiteral(": network error ") + QString::number(code) +
           QStringLiteral(" (") + info.errorString() + QStringLiteral(")");
}

}  // namespace

bool isWebUrl(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

QUrl originOf(const QUrl& url) {
    QUrl origin;
    origin.setScheme(url.scheme().toLower());
    origin.setHost(url.host().toLower());
    origin.setPort(url.port(url.scheme().toLower() == QLatin1String("https") ? 443 : 80));
    return origin;
}

NewsPage::NewsPage(QWebEngineProfile* profile, QObject* parent) : QWebEnginePage(profile, parent) {
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl& origin, Feature feature) {
                setFeaturePermission(origin, feature, PermissionDeniedByUser);
            });
    connect(this, &QWebEnginePage::fullScreenRequested, this,
            [](QWebEngineFullScreenRequest request) { request.reject(); });
    connect(this, &QWebEnginePage::registerProtocolHandlerRequested, this,
            [](QWebEngineRegisterProtocolHandlerRequest request) { request.reject(); });
    connect(this, &QWebEnginePage::fileSystemAccessRequested, this,
            [](QWebEngineFileSystemAccessRequest request) { request.reject(); });
    connect(this, &QWebEnginePage::loadFinished, this, [this] { loadingHome_ = false; });
    connect(this, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        if (!onLoadEnd_) return;
        if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) onLoadEnd_(true, {});
        if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus)
            onLoadEnd_(false, loadFailure(info));
    });
}

void NewsPage::setLoadHandler(std::function<void(bool loaded, const QString& why)> onLoadEnd) {
    onLoadEnd_ = std::move(onLoadEnd);
}

void NewsPage::setHome(const QUrl& address) {
    origin_ = originOf(address);
    loadingHome_ = true;
}

void NewsPage::watchUserInput(QWidget* view) {
    view_ = view;
    // The engine puts its own widgets inside the view and may replace them:
    // watch them all, whichever receives the input.
    QCoreApplication::instance()->installEventFilter(this);
}

bool NewsPage::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonRelease && type != QEvent::KeyPress) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (view_ != nullptr && widget != nullptr && (widget == view_ || view_->isAncestorOf(widget)))
        lastUserInput_.start();
    return false;
}

bool NewsPage::followsUserInput() const {
    return lastUserInput_.isValid() && lastUserInput_.elapsed() < kUserInputWindowMs;
}

bool NewsPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    // Frames inside the page are the page's business; they cannot move it.
    if (!isMainFrame) return true;
    const bool sameOrigin = isWebUrl(url) && originOf(url) == origin_;
    if (type == NavigationTypeRedirect && loadingHome_ && isWebUrl(url)) {
        origin_ = originOf(url);
        return true;
    }
    if (type == NavigationTypeLinkClicked && !sameOrigin && followsUserInput()) {
        if (isWebUrl(url)) QDesktopServices::openUrl(url);
        return false;
    }
    return sameOrigin;
}

QWebEnginePage* NewsPage::createWindow(WebWindowType /*type*/) {
    return new LinkCatcher(profile(), this, followsUserInput());
}

void NewsPage::javaScriptAlert(const QUrl& /*origin*/, const QString& /*message*/) {}

bool NewsPage::javaScriptConfirm(const QUrl& /*origin*/, const QString& /*message*/) {
    return false;
}

bool NewsPage::javaScriptPrompt(const QUrl& /*origin*/, const QString& /*message*/,
                                const QString& /*defaultValue*/, QString* /*result*/) {
    return false;
}

}  // namespace gd

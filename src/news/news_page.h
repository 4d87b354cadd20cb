// The news page and nothing else. The page is the server's, and a hostile or
// compromised one must not turn the news area into something else: scripts
// cannot take it to another origin, open windows, show dialogs, download or
// get a permission. A link the user clicks to another web origin opens in the
// desktop's browser; links of any other kind go nowhere.
#pragma once

#include <QElapsedTimer>
#include <QUrl>
#include <QWebEnginePage>

#include <functional>

class QWidget;

namespace gd {

class NewsPage : public QWebEnginePage {
  public:
    NewsPage(QWebEngineProfile* profile, QObject* parent);

    // The address of the news request: its origin is the page's own. A
    // redirect while that request loads moves the origin with it: where the
    // page lives is the server's decision.
    void setHome(const QUrl& address);

    // Watches the user's clicks and keys inside `view`: the engine reports a
    // script's navigation as a clicked link too, and only one that follows
    // the user's own input counts as the user's.
    void watchUserInput(QWidget* view);

    // Called with true when a load of the page has succeeded, with false and
    // why when it failed: the engine's own error page is nothing to show. An
    // empty handler stops the calls.
    void setLoadHandler(std::function<void(bool loaded, const QString& why)> onLoadEnd);

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;
    void javaScriptAlert(const QUrl& origin, const QString& message) override;
    bool javaScriptConfirm(const QUrl& origin, const QString& message) override;
    bool javaScriptPrompt(const QUrl& origin, const QString& message, const QString& defaultValue,
                          QString* result) override;

  private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool followsUserInput() const;

    QUrl origin_;
    bool loadingHome_ = false;
    std::function<void(bool loaded, const QString& why)> onLoadEnd_;
    QWidget* view_ = nullptr;
    QElapsedTimer lastUserInput_;
};

// Whether a clicked link may go to the desktop's browser: http and https only.
bool isWebUrl(const QUrl& url);

// Scheme, host and port: what decides whether two addresses share an origin.
QUrl originOf(const QUrl& url);

}  // namespace gd

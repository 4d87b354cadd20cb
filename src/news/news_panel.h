// The news area of the launcher window: an embedded browser over the area's
// rectangle that shows the page the product's web server returns for one
// news request.
#pragma once

#include "news/news_module.h"

#include <QByteArray>
#include <QPixmap>
#include <QRect>

#include <string>
#include <string_view>

class QWidget;

namespace gd {

// The body of the news request: "mode=news&id=" and the identifier's bytes,
// unescaped and without a terminator.
QByteArray makePostData(std::string_view accountId);

class NewsPanel {
  public:
    NewsPanel() = default;
    NewsPanel(const NewsPanel&) = delete;
    NewsPanel& operator=(const NewsPanel&) = delete;
    ~NewsPanel();

    // Makes the visible host child of `window` over `rect`; the window owns it.
    void createBrowserHost(QWidget* window, const QRect& rect);
    // Puts a browser filling the host into it, loading the news module beside
    // the executable; false without a host or a usable module. The end of
    // each load of the page goes to `onLoadEnd` while the browser lives.
    bool attachBrowser(NewsLoadHandler onLoadEnd = {});
    // Posts the news request for `accountId` to `address` (taken as it is, %
    // escapes included); does nothing without a browser. The page loads on
    // its own.
    void sendNewsRequest(const std::string& address, std::string_view accountId);
    // Destroys the browser, also while it is still loading; the launcher
    // window calls it before it goes.
    void releaseBrowser();
    // The page as the browser draws it now; null without a browser.
    QPixmap pagePicture() const;

    QWidget* newsHostWindow() const { return newsHostWindow_; }
    QWidget* newsBrowser() const { return newsBrowser_; }

  private:
    QWidget* newsHostWindow_ = nullptr;  // owned by the launcher window
    const NewsModuleApi* module_ = nullptr;
    QWidget* newsBrowser_ = nullptr;
};

}  // namespace gd

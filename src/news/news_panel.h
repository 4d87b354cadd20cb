// The news area of the launcher window: a browser over the area's rectangle
// that shows the product's news page when the launcher is online.
#pragma once

#include "shell/dialog_layout.h"

#include <string>

class QWidget;

namespace gd {

class NewsPanel {
  public:
    NewsPanel() = default;
    NewsPanel(const NewsPanel&) = delete;
    NewsPanel& operator=(const NewsPanel&) = delete;
    ~NewsPanel();

    // Makes the visible host child of `window` over `rect`.
    bool createBrowserHost(QWidget* window, const PixelRect& rect);
    // Puts a browser into the host; false when none can be had.
    bool attachBrowser();
    // Posts the news request for `accountId` to `address`.
    void sendNewsRequest(const std::string& address, const std::string& accountId);
    // Lets go of the browser before the window goes.
    void releaseBrowser();

    QWidget* newsHostWindow() const { return newsHostWindow_; }

  private:
    QWidget* newsHostWindow_ = nullptr;  // owned by the window
};

}  // namespace gd

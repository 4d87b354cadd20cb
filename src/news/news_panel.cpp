#include "news/news_panel.h"

#include <QWidget>

namespace gd {

NewsPanel::~NewsPanel() {
    releaseBrowser();
}

bool NewsPanel::createBrowserHost(QWidget* window, const PixelRect& rect) {
    newsHostWindow_ = new QWidget(window);
    newsHostWindow_->setGeometry(rect.x, rect.y, rect.width, rect.height);
    newsHostWindow_->show();
    return true;
}

// The embedded browser comes with the news page; until then the host stays
// an empty area.
bool NewsPanel::attachBrowser() {
    return false;
}

void NewsPanel::sendNewsRequest(const std::string& /*address*/, const std::string& /*accountId*/) {}

void NewsPanel::releaseBrowser() {}

}  // namespace gd

#include "news/news_panel.h"

#include "news/news_module.h"

#include <QCoreApplication>
#include <QWidget>

#include <dlfcn.h>

namespace gd {

namespace {

constexpr char kPostPrefix[] = "mode=news&id=";

// The module beside the executable, or null when it is missing or from
// another build. It stays loaded for the rest of the process: the browser
// engine it brings cannot be unloaded safely.
const NewsModuleApi* loadNewsModule() {
    const QByteArray path =
        (QCoreApplication::applicationDirPath() + "/" + kNewsModuleFile).toLocal8Bit();
    void* handle = ::dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    using Entry = const NewsModuleApi* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kNewsModuleEntry));
    const NewsModuleApi* api = entry != nullptr ? entry() : nullptr;
    return api != nullptr && api->version == kNewsModuleVersion ? api : nullptr;
}

}  // namespace

QByteArray makePostData(std::string_view accountId) {
    QByteArray body(kPostPrefix);
    body.append(accountId.data(), static_cast<qsizetype>(accountId.size()));
    return body;
}

NewsPanel::~NewsPanel() {
    releaseBrowser();
}

void NewsPanel::createBrowserHost(QWidget* window, const QRect& rect) {
    newsHostWindow_ = new QWidget(window);
    newsHostWindow_->setGeometry(rect);
    newsHostWindow_->show();
}

bool NewsPanel::attachBrowser(NewsLoadHandler onLoadEnd) {
    if (newsHostWindow_ == nullptr) return false;
    if (newsBrowser_ != nullptr) return true;
    if (module_ == nullptr) module_ = loadNewsModule();
    if (module_ == nullptr) return false;
    newsBrowser_ = module_->createBrowser(newsHostWindow_, std::move(onLoadEnd));
    return newsBrowser_ != nullptr;
}

void NewsPanel::sendNewsRequest(const std::string& address, std::string_view accountId) {
    if (newsBrowser_ == nullptr) return;
    module_->postRequest(newsBrowser_, QByteArray::fromStdString(address), makePostData(accountId));
}

QPixmap NewsPanel::pagePicture() const {
    return newsBrowser_ != nullptr ? newsBrowser_->grab() : QPixmap();
}

void NewsPanel::releaseBrowser() {
    if (newsBrowser_ == nullptr) return;
    module_->destroyBrowser(newsBrowser_);
    newsBrowser_ = nullptr;
}

}  // namespace gd

// libgdnews.so: the embedded browser of the news area.

#include "news/news_module.h"

#include "news/news_page.h"

#include <QQuickWindow>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineDownloadRequest>
#include <QWebEngineHttpRequest>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QWidget>

namespace {

// Nothing the page asks for beyond showing itself: no windows, no
// clipboard, no plug-ins, no dropped links that navigate.
void lockDown(QWebEngineSettings* settings) {
    using S = QWebEngineSettings;
    for (const S::WebAttribute attribute :
         {S::JavascriptCanOpenWindows, S::JavascriptCanAccessClipboard, S::PluginsEnabled,
          S::FullScreenSupportEnabled, S::ScreenCaptureEnabled,
          S::AllowWindowActivationFromJavaScript, S::AllowGeolocationOnInsecureOrigins,
          S::LocalContentCanAccessRemoteUrls, S::NavigateOnDropEnabled})
        settings->setAttribute(attribute, false);
    settings->setAttribute(S::WebRTCPublicInterfacesOnly, true);
}

QWidget* createBrowser(QWidget* host, gd::NewsLoadHandler onLoadEnd) {
    // The launcher window is on the screen already, as a plain raster window.
    // A browser drawn through GL would make Qt replace that window with a new
    // GL one (it blinks, and loses its identity on the screen); drawn in
    // software, it joins the window as any widget does. A news page needs no
    // more.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // A profile of its own that keeps nothing on disk: the page is the
    // server's, and nothing of it needs to outlive the launcher.
    auto* profile = new QWebEngineProfile(host);
    QObject::connect(profile, &QWebEngineProfile::downloadRequested, profile,
                     [](QWebEngineDownloadRequest* download) { download->cancel(); });
    auto* view = new QWebEngineView(host);
    auto* page = new gd::NewsPage(profile, view);
    page->watchUserInput(view);
    page->setLoadHandler(std::move(onLoadEnd));
    view->setPage(page);
    lockDown(view->settings());
    view->setContextMenuPolicy(Qt::NoContextMenu);
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    return view;
}

void postRequest(QWidget* browser, const QByteArray& address, const QByteArray& body) {
    const QUrl url = QUrl::fromEncoded(address, QUrl::TolerantMode);
    QWebEngineHttpRequest request(url, QWebEngineHttpRequest::Post);
    request.setHeader("Content-type", "application/x-www-form-urlencoded");
    request.setPostData(body);
    auto* view = static_cast<QWebEngineView*>(browser);
    static_cast<gd::NewsPage*>(view->page())->setHome(url);
    view->load(request);
}

void destroyBrowser(QWidget* browser) {
    auto* view = static_cast<QWebEngineView*>(browser);
    QWebEngineProfile* profile = view->page()->profile();
    // A load that ends as the page goes tells nobody.
    static_cast<gd::NewsPage*>(view->page())->setLoadHandler({});
    // The page goes before its profile.
    delete view;
    delete profile;
}

constexpr gd::NewsModuleApi kApi{gd::kNewsModuleVersion, createBrowser, postRequest,
                                 destroyBrowser};

}  // namespace

extern "C" const gd::NewsModuleApi* gdNewsModuleApi() {
    return &kApi;
}

// libgdnews.so: the embedded browser of the news area.

#include "news/news_module.h"

#include <QQuickWindow>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineHttpRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QWidget>

namespace {

QWidget* createBrowser(QWidget* host) {
    // The launcher window is on the screen already, as a plain raster window.
    // A browser drawn through GL would make Qt replace that window with a new
    // GL one (it blinks, and loses its identity on the screen); drawn in
    // software, it joins the window as any widget does. A news page needs no
    // more.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // A profile of its own that keeps nothing on disk: the page is the
    // server's, and nothing of it needs to outlive the launcher.
    auto* profile = new QWebEngineProfile(host);
    auto* view = new QWebEngineView(profile, host);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    return view;
}

void postRequest(QWidget* browser, const QByteArray& address, const QByteArray& body) {
    QWebEngineHttpRequest request(QUrl::fromEncoded(address, QUrl::TolerantMode),
                                  QWebEngineHttpRequest::Post);
    request.setHeader("Content-type", "application/x-www-form-urlencoded");
    request.setPostData(body);
    static_cast<QWebEngineView*>(browser)->load(request);
}

void destroyBrowser(QWidget* browser) {
    auto* view = static_cast<QWebEngineView*>(browser);
    QWebEngineProfile* profile = view->page()->profile();
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

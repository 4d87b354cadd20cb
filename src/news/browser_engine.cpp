#include "news/browser_engine.h"

#include <QByteArray>
#include <QCoreApplication>

#include <unistd.h>

namespace gd {

void prepareBrowserEngine() {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags +=
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-domain-reliability --disable-breakpad --no-pings --metrics-recording-only";
    if (::geteuid() == 0) flags += " --no-sandbox";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

}  // namespace gd

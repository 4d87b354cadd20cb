#include "news/browser_engine.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QOpenGLContext>

#include <unistd.h>

// Qt's own hook for the shared context, which QGuiApplication calls at its
// start when Qt::AA_ShareOpenGLContexts is set; the engine reads it back.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace gd {

namespace {

void addChromiumFlags() {
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.contains("--disable-background-networking")) return;
    flags +=
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-domain-reliability --disable-breakpad --no-pings --metrics-recording-only";
    if (::geteuid() == 0) flags += " --no-sandbox";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

}  // namespace

void prepareBrowserEngine() {
    addChromiumFlags();
    // The engine's start-up report (its GL type and every Chromium flag) is
    // no message for the person who started the launcher from a terminal;
    // QT_LOGGING_RULES still brings it back.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        return;
    }
    if (QOpenGLContext::globalShareContext() != nullptr) return;
    // Lives as long as the application, as the one it would have made.
    auto* context = new QOpenGLContext(app);
    context->create();
    qt_gl_set_global_share_context(context);
}

}  // namespace gd

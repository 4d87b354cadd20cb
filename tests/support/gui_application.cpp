#include "support/gui_application.h"

#include "news/browser_engine.h"

#include <QApplication>

namespace gdtest {

QApplication& guiApplication() {
    static int argc = 1;
    static char name[] = "gdtest";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    gd::prepareBrowserEngine();
    static QApplication app(argc, argv);
    return app;
}

}  // namespace gdtest

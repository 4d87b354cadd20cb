#include "support/gui_application.h"

#include "news/browser_engine.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

namespace gdtest {

namespace {

// Deletes the application when the tests are done, before exit. As a static
// it went at exit among Qt's own globals, after the thread storage that the
// browser's shared GL context reads while it is torn down, and crashed there.
class ApplicationOwner : public ::testing::Environment {
  public:
    ApplicationOwner(int& argc, char** argv) : app_(std::make_unique<QApplication>(argc, argv)) {}
    void TearDown() override { app_.reset(); }
    QApplication& app() { return *app_; }

  private:
    std::unique_ptr<QApplication> app_;
};

}  // namespace

QApplication& guiApplication() {
    static int argc = 1;
    static char name[] = "gdtest";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    gd::prepareBrowserEngine();
    // Google Test owns the environment and tears it down after the last test.
    static ApplicationOwner* const owner = static_cast<ApplicationOwner*>(
        ::testing::AddGlobalTestEnvironment(new ApplicationOwner(argc, argv)));
    return owner->app();
}

}  // namespace gdtest

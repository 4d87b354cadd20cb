// GrooveDeck: the launcher and updater of Groove×Deck.

#include "install/audience_settings.h"
#include "install/install_paths.h"
#include "install/instance_lock.h"
#include "script/launcher_config.h"
#include "shell/input_filter.h"
#include "shell/launcher_log.h"
#include "shell/launcher_window.h"
#include "shell/signal_watcher.h"
#include "update/run_directory.h"

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <thread>

namespace {

// Why this launcher ends at once, for whoever started it from a terminal: the
// first launcher's window is all the desktop shows.
void sayAnotherLauncherRuns() {
    const auto lock = gd::InstanceLock::lockFilePath();
    if (lock) {
        std::fprintf(stderr, "GrooveDeck: another launcher is running for this user (%s is held)\n",
                     lock->c_str());
    } else {
        std::fprintf(stderr, "GrooveDeck: no private folder for the launcher's lock\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A second launcher ends at once and shows nothing.
    const auto instanceLock = gd::InstanceLock::tryAcquire();
    if (!instanceLock) {
        sayAnotherLauncherRuns();
        return 0;
    }

    const gd::InstallPaths paths = gd::initInstallPaths();
    gd::LauncherConfig config;
    gd::loadLauncherConfig(paths.launcherDir, config);
    config.server.audience = {gd::installationNumber(paths.launcherDir),
                              gd::installationChannel(paths.launcherDir)};

    // Nothing networked before the window is on the screen: the online test,
    // the checks and the browser engine all come after the first map.
    QApplication app(argc, argv);
    // Japanese texts, but versions are read and written with a decimal point.
    std::setlocale(LC_NUMERIC, "C");

    gd::RightButtonFilter rightButtons;
    app.installEventFilter(&rightButtons);

    gd::LauncherWindow window(
        gd::LauncherContext{paths.launcherDir, config, gd::makeToolTable(paths.launcherDir),
                            gd::LauncherLog::defaultPath().value_or(std::filesystem::path())});
    // A replacement that an earlier run staged but did not finish comes
    // first; once lcopy has it, this launcher makes way.
    if (window.finishStagedLauncherUpdate()) return 0;
    window.show();
    // What killed runs left under $TMPDIR goes, once the window is on the
    // screen and off its thread; a quit stops it between two files.
    std::jthread sweep([](std::stop_token stop) { gd::removeStaleRunDirectories(stop); });

    QSystemTrayIcon tray(QIcon(QStringLiteral(":/skin/200")));
    tray.setToolTip(QStringLiteral("GrooveDeck"));
    // Looking for a tray host may start a D-Bus session first: do it once the
    // event loop runs, so that it never delays the window.
    QTimer::singleShot(0, &app, [&tray] {
        if (QSystemTrayIcon::isSystemTrayAvailable()) tray.show();
    });

    QObject::connect(&window, &gd::LauncherWindow::closed, &app, [&] {
        tray.hide();
        QApplication::exit(0);
    });
    // May arrive inside a message box's event loop: ending every event loop
    // unwinds it, and the window waits for its threads when it is destroyed.
    gd::SignalWatcher signalWatcher([&] {
        tray.hide();
        window.beginShutdown();
        QApplication::exit(0);
    });

    app.exec();
    return 0;
}

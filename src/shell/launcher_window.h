// The launcher window: status line, progress bar, news area and seven bitmap
// buttons. It decides at opening whether the launcher is online, checks for a
// newer version whenever it is shown or hidden and then updates by itself, and
// turns clicks into actions (start an editor, quit, update, file check).
#pragma once

#include "install/install_paths.h"
#include "news/news_panel.h"
#include "script/notifier.h"
#include "shell/skin.h"
#include "update/update_worker.h"

#include <QDialog>
#include <QPixmap>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>

class QLabel;
class QProgressBar;

namespace gd {

struct LauncherConfig;
class VersionManifest;

// What the window works on; all of it outlives the window.
struct LauncherContext {
    std::string launcherDir;
    LauncherConfig& config;
    VersionManifest& manifest;
    ToolTable toolTable;
};

class LauncherWindow : public QDialog, public Notifier, public UpdateReporter {
    Q_OBJECT

  public:
    explicit LauncherWindow(LauncherContext context);
    ~LauncherWindow() override;

    // Opens the news area when `online` (the result of runOnlineTest, made
    // once at start-up) or shows the logo. Called once, before the first show.
    void initialise(bool online);
    // Whether the machine reports a network and the update server accepts a
    // login: the online test.
    static bool runOnlineTest(const LauncherConfig& config);
    // Hands a launcher that an earlier run staged, but never put in place, to
    // lcopy, as the end of an update does. True when lcopy took it over: the
    // launcher then ends. Called once, before initialise.
    bool finishStagedLauncherUpdate();
    bool online() const { return skinState().online; }
    bool updating() const { return worker_.updating(); }

    // Asks a running update to stop at its next safe point and lets every
    // call it makes into this window return at once from now on. Never waits,
    // so it may run inside a message box's event loop.
    void beginShutdown();
    // beginShutdown, then waits for the update to end, still serving the calls
    // it makes into this window meanwhile. Only from the outermost event loop.
    void stopUpdate();

    // Notifier and UpdateReporter: called on the worker thread (or this one).
    void showMessage(std::string_view caption, std::string_view text) override;
    void OnUpdateReport(UpdateReportCode code, int value, std::string_view text) override;

  signals:
    // The window has closed; the launcher ends.
    void closed();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    SkinState skinState() const { return {online_, worker_.updating()}; }
    void checkForUpdateAndStart();
    void onHoverPoll();
    void onActionTimer();
    void runButtonAction(int button);
    void updateAction();
    void fileCheckAction();
    void launchTool(int toolIndex, int button);
    void onToolExited(int button);
    void applyReport(UpdateReportCode code, int value, const std::string& text);
    // Announces the replacement and starts lcopy; false, after the failure
    // box, when lcopy could not be started.
    bool startLauncherCopy(const LauncherReplacement& replacement);
    void setProgress(int percent);
    const QPixmap& bitmap(int id);
    void composeBackBuffer();
    // Runs `work` on this window's thread and waits for it, unless the window
    // is closing.
    template <typename Work>
    void callOnWindowThread(Work work);

    LauncherContext context_;
    QLabel* statusLine_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* logo_ = nullptr;
    NewsPanel news_;
    ButtonSkins buttons_;
    bool online_ = false;
    int pendingButton_ = -1;
    std::chrono::steady_clock::time_point updateGuardUntil_;
    std::chrono::steady_clock::time_point fileCheckGuardUntil_;
    QTimer hoverTimer_;
    QTimer actionTimer_;
    QTimer toolWaitTimer_;
    pid_t runningTool_ = -1;
    QPixmap backBuffer_;
    std::map<int, QPixmap> bitmaps_;
    std::atomic<bool> closing_{false};
    UpdateWorker worker_;
};

}  // namespace gd

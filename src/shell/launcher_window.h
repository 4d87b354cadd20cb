// The launcher window: status line, progress bar, news area and seven bitmap
// buttons. It appears before anything is asked of the network; the online
// test and every version check run off its thread while it stays responsive
// (connecting, then online or offline). It checks for a newer version
// whenever it is shown or hidden and then updates by itself, and turns clicks
// into actions (start an editor, quit, update, file check).
#pragma once

#include "install/install_paths.h"
#include "news/news_panel.h"
#include "script/launcher_config.h"
#include "shell/launcher_log.h"
#include "shell/server_check.h"
#include "shell/skin.h"
#include "shell/thread_bridge.h"
#include "update/update_worker.h"

#include <QDialog>
#include <QPixmap>
#include <QTimer>

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class QLabel;
class QProgressBar;

namespace gd {

// How long the offline window waits before it asks the sources again.
inline constexpr std::chrono::milliseconds kReprobeInterval{60000};

// What the window works on: its own copies.
struct LauncherContext {
    std::string launcherDir;
    LauncherConfig config;  // installedVersion follows the worker's final reports
    ToolTable toolTable;
    std::filesystem::path logPath;  // empty: no log is kept
    std::chrono::milliseconds reprobeInterval = kReprobeInterval;
};

class LauncherWindow : public QDialog {
    Q_OBJECT

  public:
    enum class Connection {
        Connecting,  // the online test has not answered yet
        Online,
        Offline,
    };

    explicit LauncherWindow(LauncherContext context);
    ~LauncherWindow() override;

    Connection connection() const { return connection_; }
    bool online() const { return connection_ == Connection::Online; }
    // From the start of an update until its Completed or Failed report has
    // reached the window; after LauncherUpdate for good, as the launcher ends.
    bool updating() const { return updateRunning_; }
    // The installed version as the window knows it.
    float installedVersion() const { return context_.config.server.installedVersion; }
    // Hands a launcher that an earlier run staged, but never put in place, to
    // lcopy, as the end of an update does. True when lcopy took it over: the
    // launcher then ends. When lcopy is missing or cannot start, that is said
    // once per staged launcher; later starts go on as usual without a box
    // until lcopy is back. Called once, before the first show.
    bool finishStagedLauncherUpdate();

    // Stops running checks and updates at their next safe point and lets every
    // call they make into this window return at once from now on. Never
    // waits, so it may run inside a message box's event loop.
    void beginShutdown();
    // beginShutdown, then waits for the threads to end, still serving the
    // calls they make into this window meanwhile. Only from the outermost
    // event loop.
    void finishShutdown();

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
    // Why a check runs, which decides what its answer does.
    enum class CheckPurpose {
        Opening,    // the online test, then the check of the first show
        Shown,      // a show or hide: update by itself when something is newer
        Update,     // the Update button
        FileCheck,  // the FileCheck button
        Reprobe,    // offline: the online test again, and the check once online
    };

    // The status line, the logo and the icon, once the window is shown.
    void dress();
    SkinState skinState() const { return {online(), updating()}; }
    bool editorRunning() const { return runningTool_ != -1; }
    void requestCheck(CheckPurpose purpose);
    void startWaitingCheck();
    void onOnlineAnswer(const ProbeAnswer& probe);
    void onCheckDone(CheckPurpose purpose, const CheckAnswer& answer);
    // The box of an Update or FileCheck whose online test or check failed.
    void showCheckFailure(std::string_view errorCaption, const CheckAnswer& answer);
    void startUpdate(UpdateOffer offer);
    void showOnlineLook();
    void showOfflineLook(std::string_view status);
    // While offline: asks again every reprobeInterval, and at once when the
    // system says the network changed (where Qt can tell).
    void startReprobing();
    void reprobe();
    // The box of `text` under `caption`, with `reason` on a line of its own.
    void showBox(std::string_view caption, std::string_view text, std::string_view reason = {});
    // The box of an update run's failure, after the title and the log have
    // taken what the run recorded.
    void showRunFailure(std::string_view caption, std::string_view text, std::string_view reason);
    // The title with the installed version.
    void showInstalledVersion();
    // The buttons' looks for where the cursor is now, for the next paint.
    void restoreButtonLooks();
    void openNewsArea();
    void onNewsLoadEnd(bool loaded, const std::string& why);
    // The logo in the news area, in front of the browser: offline, or when
    // the page cannot be loaded.
    void showLogo();
    void onHoverPoll();
    void onActionTimer();
    void runButtonAction(int button);
    void launchTool(int toolIndex, int button);
    void onToolExited(int button);
    void applyReport(const UpdateReport& report);
    // Announces the replacement and starts lcopy; false when lcopy could not
    // be started, after the failure box with the reason if `sayFailure`.
    bool startLauncherCopy(const LauncherReplacement& replacement, bool sayFailure = true);
    void setProgress(int percent);
    const QPixmap& bitmap(int id);
    void composeBackBuffer();

    LauncherContext context_;
    LauncherLog log_;  // before the bridge, which writes to it
    QLabel* statusLine_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* logo_ = nullptr;
    NewsPanel news_;
    ButtonSkins buttons_;
    Connection connection_ = Connection::Connecting;
    bool firstShow_ = true;
    bool watchingNetwork_ = false;
    bool newsLoaded_ = false;  // the last load of the news page succeeded
    bool closing_ = false;
    int pendingButton_ = -1;
    std::chrono::steady_clock::time_point updateGuardUntil_;
    std::chrono::steady_clock::time_point fileCheckGuardUntil_;
    QTimer hoverTimer_;
    QTimer actionTimer_;
    QTimer toolWaitTimer_;
    QTimer reprobeTimer_;
    bool updateRunning_ = false;
    bool handingOver_ = false;  // the run ended for lcopy to replace the launcher
    bool runCutOff_ = false;    // the launcher quits while a run goes on
    pid_t runningTool_ = -1;    // 0: an editor that could not be started
    QPixmap backBuffer_;
    std::map<int, QPixmap> bitmaps_;
    std::deque<CheckPurpose> waitingChecks_;
    // An update found while an editor ran: it starts once the editor exits.
    std::optional<UpdateOffer> heldUpdate_;
    // Made and destroyed inside the engine module.
    struct WorkerDeleter {
        void operator()(UpdateWorker* worker) const;
    };
    // The threads go before the bridge they report through.
    ThreadBridge bridge_;
    std::unique_ptr<UpdateWorker, WorkerDeleter> worker_;  // made by the first update
    ServerCheck check_;
};

}  // namespace gd

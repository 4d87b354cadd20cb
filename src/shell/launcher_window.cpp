#include "shell/launcher_window.h"

#include "fetch/transfer_attempts.h"
#include "install/registry.h"
#include "news/browser_engine.h"
#include "script/encrypted_script.h"
#include "script/version_offer.h"
#include "shell/engine_module.h"
#include "shell/message_box.h"
#include "shell/news_picture.h"
#include "shell/tool_launch.h"
#include "util/process.h"
#include "util/text_encoding.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

namespace gd {

namespace {

using Clock = std::chrono::steady_clock;

// After an accepted click, Update and FileCheck refuse further clicks this long.
constexpr std::chrono::milliseconds kClickGuard{120000};
constexpr std::chrono::milliseconds kTimerPeriod{200};
constexpr std::chrono::milliseconds kToolPollPeriod{100};
// After a load of the news page has ended: its first frame is drawn within
// a frame or two, and it has settled enough to be kept as a picture.
constexpr std::chrono::milliseconds kNewsPaintDelay{100};
constexpr std::chrono::milliseconds kNewsSettleDelay{1500};

constexpr std::string_view kWindowTitle = "Groove×Deck";
constexpr std::string_view kConnecting = "接続中";
constexpr std::string_view kOnline = "オンライン";
constexpr std::string_view kOffline = "オフライン";
constexpr std::string_view kWaitMessage = "しばらく時間を置いてから操作して下さい。";
constexpr std::string_view kNotConnected = "インターネットに接続されていません\n ";
// The network is there (or the system cannot tell) but the update server
// does not answer: a server that went down, a refused login, a folder that
// is gone. The reason follows on a line of its own.
constexpr std::string_view kServerNotAnswering = "アップデートサーバーが応答しません。";
// The update server is there but its TLS connection failed: the same offline
// look, and a box, since nothing else would tell the person why.
constexpr std::string_view kTlsFailed =
    "アップデートサーバーとの暗号化された接続を確立できませんでした。";
constexpr std::string_view kUpToDate = "お使いのシステムは最新です。";
constexpr std::string_view kNewVersion = "新しいバージョンがあります。";
constexpr std::string_view kUpdateCaption = "アップデート";
constexpr std::string_view kUpdateErrorCaption = "アップデートエラー";
constexpr std::string_view kFileCheckCaption = "ファイルチェック";
constexpr std::string_view kFileCheckErrorCaption = "ファイルチェックエラー";
constexpr std::string_view kSelfUpdateMessage =
    "本ランチャーをアップデートします。\n自動的に再起動しますのでお待ちください。";
constexpr std::string_view kFailed = "失敗";

// The status line while a transfer waits to try again: the attempt and the wait.
std::string retryStatus(const UpdateReport& report) {
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(report.retryWait).count();
    return "ダウンロード再試行 " + std::to_string(report.retryAttempt) + "/" +
           std::to_string(kChunkAttempts) + "（" + std::to_string(seconds) + "秒後）";
}

// The status line text for a report.
std::string statusText(const UpdateReport& report) {
    const std::string& text = report.text;
    switch (report.code) {
        case UpdateReportCode::ListFetching:
            return "ファイルリスト取得中";
        case UpdateReportCode::ListFetched:
            return "ファイルリスト取得終了";
        case UpdateReportCode::Downloading:
            if (report.retryAttempt > 0) return retryStatus(report);
            return "アップデートファイルをダウンロード中";
        case UpdateReportCode::Completed:
            return "アップデート完了";
        case UpdateReportCode::Failed:
            // What failed, where the run says it.
            return text.empty() ? "ダウンロードに失敗しました。" : text;
        case UpdateReportCode::Step:
            return text;
        default:
            return {};
    }
}

// A version as the publisher wrote it: "%f" without its trailing zeros,
// one decimal kept ("1.100000" is 1.1, "2.000000" is 2.0).
std::string versionText(float version) {
    std::string text = formatVersion(version);
    while (text.ends_with('0') && !text.ends_with(".0")) text.pop_back();
    return text;
}

// The installed version as version.dat records it now, read without making
// the file; nullopt when it cannot be read.
std::optional<float> recordedVersion(const std::string& launcherDir) {
    const std::string text = readEncryptedFile(launcherDir + "version.dat", kVersionFileLimit);
    if (text.empty()) return std::nullopt;
    return readVersionNumber(text, 0);
}

// The second line of the click guard's box: how long until the button takes
// a click again, in whole seconds rounded up.
std::string guardWaitText(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(until - Clock::now());
    return "あと" + std::to_string(std::max<std::int64_t>(1, left.count())) + "秒お待ちください。";
}

PixelRect columnBlitOf(const ButtonSkins& buttons) {
    // Origin at button 0; width and height reach to button 5's far corner.
    const ButtonSkin& first = buttons[0];
    const ButtonSkin& update = buttons[kUpdateButton];
    return {first.x, first.y, update.x + update.width, update.y + update.height};
}

}  // namespace

LauncherWindow::LauncherWindow(LauncherContext context)
    : context_(std::move(context)),
      log_(context_.logPath),
      buttons_(makeButtonSkins()),
      updateGuardUntil_(Clock::now()),
      fileCheckGuardUntil_(Clock::now()),
      bridge_(
          [this](std::string_view caption, std::string_view text, std::string_view reason,
                 bool endsRun) {
              if (endsRun) return showRunFailure(caption, text, reason);
              showBox(caption, text, reason);
          },
          [this](const UpdateReport& report) { applyReport(report); }, log_),
      check_(bridge_) {
    log_.write("start: installed version " +
               formatVersion(context_.config.server.installedVersion) + " in " +
               context_.launcherDir);
    // A missing config.dat reads as empty: no server to ask, no news page.
    // Nothing else would say why the window stays offline.
    std::error_code error;
    if (!std::filesystem::exists(context_.launcherDir + "config.dat", error))
        log_.write("no config.dat in " + context_.launcherDir +
                   ": no update server and no news page are set, so the window stays offline");
    showInstalledVersion();
    setFixedSize(dluToPixelsX(kWindowWidthDlu), dluToPixelsY(kWindowHeightDlu));
    setMouseTracking(true);

    // Update and FileCheck stay out of play until the online test says yes.
    buttons_[kUpdateButton].currentBitmap = buttons_[kUpdateButton].pressedBitmap;
    buttons_[kFileCheckButton].currentBitmap = buttons_[kFileCheckButton].pressedBitmap;

    backBuffer_ = QPixmap(size());
    backBuffer_.fill(palette().color(QPalette::Window));

    hoverTimer_.setInterval(kTimerPeriod);
    connect(&hoverTimer_, &QTimer::timeout, this, &LauncherWindow::onHoverPoll);
    hoverTimer_.start();
    actionTimer_.setInterval(kTimerPeriod);
    actionTimer_.setSingleShot(true);
    connect(&actionTimer_, &QTimer::timeout, this, &LauncherWindow::onActionTimer);
    toolWaitTimer_.setInterval(kToolPollPeriod);
    reprobeTimer_.setInterval(context_.reprobeInterval);
    connect(&reprobeTimer_, &QTimer::timeout, this, &LauncherWindow::reprobe);
}

void LauncherWindow::showInstalledVersion() {
    setWindowTitle(qtText(std::string(kWindowTitle) + " Ver." +
                          versionText(context_.config.server.installedVersion)));
}

void LauncherWindow::showBox(std::string_view caption, std::string_view text,
                             std::string_view reason) {
    std::string shown(text);
    if (!reason.empty()) shown += "\n\n" + std::string(reason);
    log_.write("box " + std::string(caption) + ": " + shown);
    showOkBox(this, caption, shown);
}

void LauncherWindow::showRunFailure(std::string_view caption, std::string_view text,
                                    std::string_view reason) {
    // What the run recorded before it failed shows while the box is up, and
    // the log has the failure when it happens, not once OK is pressed.
    if (const auto recorded = recordedVersion(context_.launcherDir)) {
        context_.config.server.installedVersion = *recorded;
        showInstalledVersion();
    }
    log_.write("update failed (installed version " +
               formatVersion(context_.config.server.installedVersion) + ")");
    showBox(caption, text, reason);
}

void LauncherWindow::dress() {
    setWindowIcon(QIcon(bitmap(kIconResource)));
    const PixelRect status = toPixels(kStatusLine);
    statusLine_ = new QLabel(qtText(kConnecting), this);
    statusLine_->setGeometry(status.x, status.y, status.width, status.height);
    // The dialog's 8-point font, about 11 pixels: the longest status text,
    // "アップデートファイルをダウンロード中", must fit the line.
    QFont statusFont = statusLine_->font();
    statusFont.setPixelSize(11);
    statusLine_->setFont(statusFont);
    statusLine_->show();

    const PixelRect bar = toPixels(kProgressBar);
    progressBar_ = new QProgressBar(this);
    progressBar_->setGeometry(bar.x, bar.y, bar.width, bar.height);
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    progressBar_->show();

    // Until the news page replaces it, the news area shows the page as it
    // was last drawn, or else the logo; offline, the logo.
    const PixelRect area = toPixels(kNewsArea);
    logo_ = new QLabel(this);
    logo_->setGeometry(area.x, area.y, area.width, area.height);
    const QPixmap lastPage = context_.config.newsPageAddress.empty()
                                 ? QPixmap()
                                 : loadNewsPicture(context_.config.newsPageAddress);
    logo_->setPixmap(lastPage.size() == logo_->size() ? lastPage : bitmap(kLogoBitmap));
    logo_->show();
}

LauncherWindow::~LauncherWindow() {
    finishShutdown();
}

// ---- checks off the window's thread ----

void LauncherWindow::requestCheck(CheckPurpose purpose) {
    if (closing_) return;
    if (purpose == CheckPurpose::Shown) {
        // It could only start a second run; and one waiting check answers
        // for any number of shows.
        if (updating()) return;
        if (!waitingChecks_.empty() && waitingChecks_.back() == CheckPurpose::Shown) return;
    }
    waitingChecks_.push_back(purpose);
    startWaitingCheck();
}

void LauncherWindow::startWaitingCheck() {
    // Held while an editor runs: nothing may change under it, and no box may
    // cover it.
    if (closing_ || check_.busy() || editorRunning()) return;
    while (!waitingChecks_.empty()) {
        const CheckPurpose purpose = waitingChecks_.front();
        waitingChecks_.pop_front();
        if (purpose == CheckPurpose::Shown && updating()) continue;
        const CheckOrder order{context_.config.server, purpose != CheckPurpose::Shown,
                               purpose == CheckPurpose::Opening};
        check_.start(
            order, [this](const ProbeAnswer& probe) { onOnlineAnswer(probe); },
            [this, purpose](const CheckAnswer& answer) {
                onCheckDone(purpose, answer);
                startWaitingCheck();
            });
        return;
    }
}

void LauncherWindow::onOnlineAnswer(const ProbeAnswer& probe) {
    // The opening decides the look, and an offline window's tests may turn
    // it online; the buttons' tests answer in boxes.
    if (connection_ == Connection::Online) return;
    const bool opening = connection_ == Connection::Connecting;
    if (probe.online) {
        log_.write(opening ? "online" : "online again");
        return showOnlineLook();
    }
    if (!opening) return;
    log_.write("offline: " + probe.failure);
    for (const auto& [mirror, why] : probe.mirrorFailures)
        log_.write("skipping " + mirror + " for this run: " + why);
    showOfflineLook(kOffline);
    startReprobing();
    if (!probe.tlsFailure.empty()) showBox(kErrorCaption, kTlsFailed, probe.tlsFailure);
}

void LauncherWindow::onCheckDone(CheckPurpose purpose, const CheckAnswer& answer) {
    // So that "up to date" can be told from "not yet".
    if (const auto& withheld = answer.offer.withheld) {
        log_.write("withheld " + formatVersion(withheld->version) + ": " +
                   withheldText(*withheld, context_.config.server.audience));
    }
    switch (purpose) {
        case CheckPurpose::Opening:
        case CheckPurpose::Shown:
        case CheckPurpose::Reprobe:
            if (answer.newer) startUpdate(answer.offer);
            return;
        case CheckPurpose::Update:
            if (!answer.online) return showCheckFailure(kUpdateErrorCaption, answer);
            if (answer.newer && !updating()) return startUpdate(answer.offer);
            // A check that failed is no news that the system is up to date.
            if (answer.boxShown) return;
            if (!answer.failure.empty())
                return showBox(kErrorCaption, kVersionScriptLoadError, answer.failure);
            return showBox(kUpdateCaption, kUpToDate);
        case CheckPurpose::FileCheck:
            if (!answer.online) return showCheckFailure(kFileCheckErrorCaption, answer);
            if (answer.boxShown) return;
            if (!answer.failure.empty())
                return showBox(kErrorCaption, kVersionScriptLoadError, answer.failure);
            return showBox(kFileCheckCaption, answer.newer ? kNewVersion : kUpToDate);
    }
}

void LauncherWindow::showCheckFailure(std::string_view errorCaption, const CheckAnswer& answer) {
    if (!answer.tlsFailure.empty()) return showBox(errorCaption, kTlsFailed, answer.tlsFailure);
    // Only a system that says so is taken for not being connected at all.
    const EngineModuleApi* engine = engineModule();
    if (engine != nullptr && !engine->networkAvailable(context_.config.server.ftpAddress))
        return showBox(errorCaption, kNotConnected);
    showBox(errorCaption, kServerNotAnswering, answer.failure);
}

void LauncherWindow::startReprobing() {
    reprobeTimer_.start();
    // Where Qt can tell, a change of the network asks at once. The opening's
    // online test has loaded the module, which brings Qt's network library.
    const EngineModuleApi* engine = engineModule();
    if (engine != nullptr && !watchingNetwork_)
        watchingNetwork_ = engine->watchNetwork(this, [this] { reprobe(); });
}

void LauncherWindow::reprobe() {
    if (connection_ != Connection::Offline || closing_) return;
    for (const CheckPurpose waiting : waitingChecks_)
        if (waiting == CheckPurpose::Reprobe) return;
    requestCheck(CheckPurpose::Reprobe);
}

void LauncherWindow::startUpdate(UpdateOffer offer) {
    // One run at a time: what a check finds while a run goes on (an offline
    // window's re-probe) is that run's to apply.
    if (closing_ || updateRunning_) return;
    if (editorRunning()) {
        heldUpdate_ = std::move(offer);
        return;
    }
    // The check that found the update has loaded the module already.
    const EngineModuleApi* engine = engineModule();
    if (engine == nullptr) return;
    if (!worker_) worker_.reset(engine->createWorker(bridge_, bridge_));
    // The previous run has reported its end; its thread is about to return.
    if (worker_->updating()) engine->waitWorker(*worker_);
    updateRunning_ =
        engine->startWorker(*worker_, {context_.launcherDir, context_.config, std::move(offer)});
    update();
}

void LauncherWindow::showOnlineLook() {
    connection_ = Connection::Online;
    reprobeTimer_.stop();
    statusLine_->setText(qtText(kOnline));
    setProgress(0);
    for (const int index : {kUpdateButton, kFileCheckButton})
        buttons_[index].currentBitmap = buttons_[index].normalBitmap;
    update();
    // The look first; the browser engine takes a moment to load.
    QTimer::singleShot(0, this, &LauncherWindow::openNewsArea);
}

void LauncherWindow::showOfflineLook(std::string_view status) {
    connection_ = Connection::Offline;
    statusLine_->setText(qtText(status));
    showLogo();
    update();
}

void LauncherWindow::showLogo() {
    if (QWidget* host = news_.newsHostWindow()) host->hide();
    logo_->setPixmap(bitmap(kLogoBitmap));
    logo_->show();
    logo_->raise();
}

void LauncherWindow::openNewsArea() {
    if (closing_ || news_.newsHostWindow() != nullptr) return;
    // Nothing to ask for: the logo stays rather than an empty page.
    if (context_.config.newsPageAddress.empty()) {
        log_.write("no news page: config.dat has no CERTIFICATION_URL");
        return;
    }
    prepareBrowserEngine();
    const PixelRect area = toPixels(kNewsArea);
    news_.createBrowserHost(this, QRect(area.x, area.y, area.width, area.height));
    const bool attached = news_.attachBrowser(
        [this](bool loaded, const QString& why) { onNewsLoadEnd(loaded, why.toStdString()); });
    if (!attached) return showLogo();
    // What the news area shows stays in front of the browser, which draws
    // nothing worth seeing until its page has loaded.
    logo_->raise();
    news_.sendNewsRequest(context_.config.newsPageAddress, readAccountId());
}

void LauncherWindow::onNewsLoadEnd(bool loaded, const std::string& why) {
    if (closing_) return;
    newsLoaded_ = loaded;
    if (!loaded) {
        // Not the engine's own error page: the offline picture.
        log_.write("news page cannot be loaded: " + why);
        forgetNewsPicture(context_.config.newsPageAddress);
        return showLogo();
    }
    QTimer::singleShot(kNewsPaintDelay, this, [this] {
        if (closing_ || !newsLoaded_) return;
        news_.newsHostWindow()->show();
        logo_->hide();
    });
    QTimer::singleShot(kNewsSettleDelay, this, [this] {
        if (!closing_ && newsLoaded_)
            keepNewsPicture(context_.config.newsPageAddress, news_.pagePicture());
    });
}

void LauncherWindow::beginShutdown() {
    if (!closing_ && updateRunning_ && !handingOver_) {
        runCutOff_ = true;
        log_.write("quit during an update: the run stops at its next safe point");
    }
    closing_ = true;
    reprobeTimer_.stop();
    bridge_.close();
    if (worker_) worker_->requestStop();
    check_.requestStop();
}

void LauncherWindow::finishShutdown() {
    beginShutdown();
    // A thread may be waiting for a call into this thread: keep serving them
    // (they return at once now) until it has ended.
    while ((worker_ && worker_->running()) || check_.alive()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (worker_) engineModule()->waitWorker(*worker_);
    check_.wait();
    if (std::exchange(runCutOff_, false)) {
        const float installed =
            recordedVersion(context_.launcherDir).value_or(context_.config.server.installedVersion);
        log_.write("update cut off (installed version " + formatVersion(installed) + ")");
    }
}

void LauncherWindow::WorkerDeleter::operator()(UpdateWorker* worker) const {
    engineModule()->destroyWorker(worker);
}

// ---- painting ----

const QPixmap& LauncherWindow::bitmap(int id) {
    auto found = bitmaps_.find(id);
    if (found == bitmaps_.end())
        found = bitmaps_.emplace(id, QPixmap(QStringLiteral(":/skin/%1").arg(id))).first;
    return found->second;
}

void LauncherWindow::composeBackBuffer() {
    QPainter painter(&backBuffer_);
    const PixelRect bar = toPixels(kBottomBar);
    painter.drawPixmap(bar.x, bar.y, bitmap(kBottomBarBitmap));
    applyPaintRules(buttons_, skinState());
    for (const ButtonSkin& button : buttons_)
        painter.drawPixmap(button.x, button.y, bitmap(button.currentBitmap));
}

void LauncherWindow::paintEvent(QPaintEvent* /*event*/) {
    composeBackBuffer();
    QPainter painter(this);
    // The button column lands two pixels left of its place in the back
    // buffer, as the skin was designed; the bar goes to the left edge.
    const PixelRect column = columnBlitOf(buttons_);
    painter.drawPixmap(column.x - 2, column.y, backBuffer_, column.x, column.y, column.width,
                       column.height);
    const PixelRect bar = toPixels(kBottomBar);
    painter.drawPixmap(0, bar.y, backBuffer_, bar.x, bar.y, bar.width, bar.height);
}

// ---- mouse, keys and timers ----

void LauncherWindow::mouseMoveEvent(QMouseEvent* event) {
    if (updating() || pendingButton_ != -1) return;
    const QPoint point = event->position().toPoint();
    hoverButtons(buttons_, skinState(), point.x(), point.y());
    update();
}

void LauncherWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    // While an update runs, Quit is the one button in play: the scan below
    // finds no other.
    if (pendingButton_ != -1) return;
    const QPoint point = event->position().toPoint();
    const int index = pressButtons(buttons_, skinState(), point.x(), point.y());
    update();
    repaint();  // the pressed look shows during the 200 ms before the action

    const auto now = Clock::now();
    if (index == kFileCheckButton) {
        if (fileCheckGuardUntil_ > now)
            return showBox(kFileCheckCaption, kWaitMessage, guardWaitText(fileCheckGuardUntil_));
        fileCheckGuardUntil_ = now + kClickGuard;
    }
    if (index == kUpdateButton) {
        if (updateGuardUntil_ > now)
            return showBox(kUpdateCaption, kWaitMessage, guardWaitText(updateGuardUntil_));
        updateGuardUntil_ = now + kClickGuard;
    }
    if (index >= 0) {
        pendingButton_ = index;
        actionTimer_.start();
    }
}

void LauncherWindow::keyPressEvent(QKeyEvent* event) {
    // Enter and Esc do nothing: the window cannot be closed with Esc.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void LauncherWindow::onHoverPoll() {
    if (updating()) return;
    const QPoint point = mapFromGlobal(QCursor::pos());
    if (hoverButtons(buttons_, skinState(), point.x(), point.y()) == -1) update();
}

void LauncherWindow::onActionTimer() {
    const int button = pendingButton_;
    runButtonAction(button);
    if (runningTool_ == -1) pendingButton_ = -1;
}

void LauncherWindow::runButtonAction(int button) {
    if (const auto editor = editorOfButton(button)) return launchTool(*editor, button);
    switch (button) {
        case kQuitButton:
            close();
            break;
        case kUpdateButton:
            requestCheck(CheckPurpose::Update);
            break;
        case kFileCheckButton:
            requestCheck(CheckPurpose::FileCheck);
            break;
        default:
            break;
    }
}

// ---- editors ----

void LauncherWindow::launchTool(int toolIndex, int button) {
    const ToolEntry& tool = context_.toolTable[toolIndex];
    const ToolStart start = startTool(tool, toolIndex);
    if (start.outcome == ToolStart::Outcome::Unreadable) {
        showBox("起動エラー", "起動できません");
        buttons_[button].currentBitmap = buttons_[button].normalBitmap;
        return;
    }
    // Hidden while the editor runs, whether or not it could be started; the
    // hide's check waits for the editor.
    runningTool_ = start.outcome == ToolStart::Outcome::Started ? start.pid : 0;
    hide();
    toolWaitTimer_.disconnect();
    connect(&toolWaitTimer_, &QTimer::timeout, this, [this, button] { onToolExited(button); });
    toolWaitTimer_.start();
}

void LauncherWindow::onToolExited(int button) {
    // A tool that was never started counts as ended at once.
    if (runningTool_ > 0 && ::waitpid(runningTool_, nullptr, WNOHANG) == 0) return;
    toolWaitTimer_.stop();
    runningTool_ = -1;
    // What waited for the editor goes first: an update found meanwhile, or
    // the hide's check; the show's own check follows it.
    if (heldUpdate_) {
        UpdateOffer offer = std::move(*heldUpdate_);
        heldUpdate_.reset();
        startUpdate(std::move(offer));
    }
    startWaitingCheck();
    showNormal();
    buttons_[button].currentBitmap = buttons_[button].normalBitmap;
    pendingButton_ = -1;
    update();
}

// ---- show, hide and close ----

void LauncherWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    if (!firstShow_) return requestCheck(CheckPurpose::Shown);
    // Nothing networked before the window is on the screen: the opening's
    // online test and check start once the event loop runs. The labels and
    // the icon join then too, still before the first paint: decoding the logo
    // and laying out Japanese text need not hold up the map.
    firstShow_ = false;
    QTimer::singleShot(0, this, [this] {
        dress();
        requestCheck(CheckPurpose::Opening);
    });
}

void LauncherWindow::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (!event->spontaneous()) requestCheck(CheckPurpose::Shown);
}

void LauncherWindow::closeEvent(QCloseEvent* event) {
    hoverTimer_.stop();
    // The threads are waited for when the window is destroyed, after the
    // event loops have unwound.
    beginShutdown();
    news_.releaseBrowser();
    event->accept();
    emit closed();
}

// ---- reports from the worker, on this thread ----

void LauncherWindow::applyReport(const UpdateReport& report) {
    const UpdateReportCode code = report.code;
    if (code == UpdateReportCode::Completed || code == UpdateReportCode::Failed ||
        code == UpdateReportCode::LauncherUpdate) {
        context_.config.server.installedVersion = report.installedVersion;
        context_.config.server.signKeys = report.signKeys;
        context_.config.server.unusable = report.settingsUnusable;
        showInstalledVersion();
    }
    if (code == UpdateReportCode::Completed || code == UpdateReportCode::Failed) {
        updateRunning_ = false;
        // Drawn usable now, not when the pointer next passes over them.
        restoreButtonLooks();
    }
    if (code == UpdateReportCode::LauncherUpdate) {
        handingOver_ = true;
        startLauncherCopy({report.launcherCopySource, report.launcherCopyTarget});
        // Closed once the worker's report has returned and its thread can end.
        QTimer::singleShot(0, this, &LauncherWindow::close);
    }
    statusLine_->setText(qtText(statusText(report)));
    setProgress(report.value);
    repaint();
}

void LauncherWindow::restoreButtonLooks() {
    const QPoint point = mapFromGlobal(QCursor::pos());
    hoverButtons(buttons_, skinState(), point.x(), point.y());
}

void LauncherWindow::setProgress(int percent) {
    progressBar_->setRange(0, 100);
    progressBar_->setValue(percent);
}

bool LauncherWindow::startLauncherCopy(const LauncherReplacement& replacement, bool sayFailure) {
    showBox(kUpdateCaption, kSelfUpdateMessage);
    const std::string copier = context_.launcherDir + kCopierExecutable;
    if (startDetached(copier, {copier, replacement.source, replacement.target})) {
        log_.write("lcopy takes over: " + replacement.source + " replaces " + replacement.target);
        return true;
    }
    const std::string why = copier + " cannot be started: " + std::strerror(errno);
    if (!sayFailure) {
        log_.write(why);
        return false;
    }
    showBox(kFailed, kFailed, why);
    noteCopierFailureSaid(context_.launcherDir);
    return false;
}

bool LauncherWindow::finishStagedLauncherUpdate() {
    const auto staged = findStagedLauncher(context_.launcherDir);
    if (!staged) {
        forgetCopierFailure(context_.launcherDir);
        return false;
    }
    // Said once for this launcher: tried again, silently, only once lcopy
    // is back to take it.
    const bool said = copierFailureSaid(context_.launcherDir);
    if (said && !isLaunchableFile(context_.launcherDir + kCopierExecutable)) return false;
    return startLauncherCopy(*staged, !said);
}

}  // namespace gd

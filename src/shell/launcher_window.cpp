#include "shell/launcher_window.h"

#include "script/launcher_config.h"
#include "script/version_manifest.h"
#include "shell/message_box.h"
#include "shell/tool_launch.h"
#include "update/ftp_session.h"
#include "util/process.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QThread>

#include <sys/wait.h>

namespace gd {

namespace {

using Clock = std::chrono::steady_clock;

// After an accepted click, Update and FileCheck refuse further clicks this long.
constexpr std::chrono::milliseconds kClickGuard{120000};
constexpr std::chrono::milliseconds kTimerPeriod{200};
constexpr std::chrono::milliseconds kToolPollPeriod{100};

constexpr std::string_view kWindowTitle = "Groove×Deck";
constexpr std::string_view kOnline = "オンライン";
constexpr std::string_view kOffline = "オフライン";
constexpr std::string_view kWaitMessage = "しばらく時間を置いてから操作して下さい。";
constexpr std::string_view kNotConnected = "インターネットに接続されていません\n ";
constexpr std::string_view kUpToDate = "お使いのシステムは最新です。";
constexpr std::string_view kNewVersion = "新しいバージョンがあります。";
constexpr std::string_view kUpdateCaption = "アップデート";
constexpr std::string_view kUpdateErrorCaption = "アップデートエラー";
constexpr std::string_view kFileCheckCaption = "ファイルチェック";
constexpr std::string_view kFileCheckErrorCaption = "ファイルチェックエラー";
constexpr std::string_view kSelfUpdateMessage =
    "本ランチャーをアップデートします。\n自動的に再起動しますのでお待ちください。";
constexpr std::string_view kFailed = "失敗";

// Which tool each of the three editor buttons starts: the first button starts
// the dance editor (tool index 1), the second the character editor (index 0).
constexpr int kToolOfButton[] = {1, 0, 2};

QString qt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The status line text for a report.
std::string statusText(UpdateReportCode code, const std::string& text) {
    switch (code) {
        case UpdateReportCode::ListFetching:
            return "ファイルリスト取得中";
        case UpdateReportCode::ListFetched:
            return "ファイルリスト取得終了";
        case UpdateReportCode::Downloading:
            return "アップデートファイルをダウンロード中";
        case UpdateReportCode::Completed:
            return "アップデート完了";
        case UpdateReportCode::Failed:
            return "ダウンロードに失敗しました。";
        case UpdateReportCode::Step:
            return text;
        default:
            return {};
    }
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
      buttons_(makeButtonSkins()),
      updateGuardUntil_(Clock::now()),
      fileCheckGuardUntil_(Clock::now()),
      worker_(UpdateJob{context_.launcherDir, context_.config, context_.manifest, *this, *this}) {
    setWindowTitle(qt(kWindowTitle));
    setWindowIcon(QIcon(bitmap(kIconResource)));
    setFixedSize(dluToPixelsX(kWindowWidthDlu), dluToPixelsY(kWindowHeightDlu));
    setMouseTracking(true);

    const PixelRect bar = toPixels(kProgressBar);
    progressBar_ = new QProgressBar(this);
    progressBar_->setGeometry(bar.x, bar.y, bar.width, bar.height);
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);

    const PixelRect status = toPixels(kStatusLine);
    statusLine_ = new QLabel(qt(kOffline), this);
    statusLine_->setGeometry(status.x, status.y, status.width, status.height);
    // The dialog's 8-point font, about 11 pixels: the longest status text,
    // "アップデートファイルをダウンロード中", must fit the line.
    QFont statusFont = statusLine_->font();
    statusFont.setPixelSize(11);
    statusLine_->setFont(statusFont);

    backBuffer_ = QPixmap(size());
    backBuffer_.fill(palette().color(QPalette::Window));

    hoverTimer_.setInterval(kTimerPeriod);
    connect(&hoverTimer_, &QTimer::timeout, this, &LauncherWindow::onHoverPoll);
    actionTimer_.setInterval(kTimerPeriod);
    actionTimer_.setSingleShot(true);
    connect(&actionTimer_, &QTimer::timeout, this, &LauncherWindow::onActionTimer);
    toolWaitTimer_.setInterval(kToolPollPeriod);
}

LauncherWindow::~LauncherWindow() {
    stopUpdate();
}

void LauncherWindow::initialise(bool online) {
    if (online) {
        statusLine_->setText(qt(kOnline));
        online_ = true;
        setProgress(0);
        pendingButton_ = -1;
        if (news_.createBrowserHost(this, toPixels(kNewsArea)) && news_.attachBrowser())
            news_.sendNewsRequest(context_.config.newsPageAddress, readAccountId());
    } else {
        const PixelRect area = toPixels(kNewsArea);
        logo_ = new QLabel(this);
        logo_->setGeometry(area.x, area.y, area.width, area.height);
        logo_->setPixmap(bitmap(kLogoBitmap));
        statusLine_->setText(qt(kOffline));
        online_ = false;
        buttons_[kUpdateButton].currentBitmap = buttons_[kUpdateButton].pressedBitmap;
        buttons_[kFileCheckButton].currentBitmap = buttons_[kFileCheckButton].pressedBitmap;
    }
    hoverTimer_.start();
}

bool LauncherWindow::runOnlineTest(const LauncherConfig& config) {
    return IsInternetAvailable(config.server.ftpAddress) && ProbeUpdateServer(config.server);
}

void LauncherWindow::checkForUpdateAndStart() {
    // The worker reads the manifest: never refill it while one runs.
    if (worker_.updating() || closing_) return;
    if (CheckForUpdate(*this, context_.config, context_.manifest)) worker_.StartUpdateWorker();
}

void LauncherWindow::beginShutdown() {
    closing_ = true;
    worker_.requestStop();
}

void LauncherWindow::stopUpdate() {
    beginShutdown();
    // The worker may be waiting for a call into this thread: keep serving
    // them (they return at once now) until it has ended.
    while (worker_.running()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    worker_.wait();
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
    if (worker_.updating() || pendingButton_ != -1) return;
    const QPoint point = event->position().toPoint();
    hoverButtons(buttons_, skinState(), point.x(), point.y());
    update();
}

void LauncherWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    if (worker_.updating() || pendingButton_ != -1) return;
    const QPoint point = event->position().toPoint();
    const int index = pressButtons(buttons_, skinState(), point.x(), point.y());
    update();
    repaint();  // the pressed look shows during the 200 ms before the action

    const auto now = Clock::now();
    if (index == kFileCheckButton) {
        if (fileCheckGuardUntil_ > now) return showOkBox(this, kFileCheckCaption, kWaitMessage);
        fileCheckGuardUntil_ = now + kClickGuard;
    }
    if (index == kUpdateButton) {
        if (updateGuardUntil_ > now) return showOkBox(this, kUpdateCaption, kWaitMessage);
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
    if (worker_.updating()) return;
    const QPoint point = mapFromGlobal(QCursor::pos());
    if (hoverButtons(buttons_, skinState(), point.x(), point.y()) == -1) update();
}

void LauncherWindow::onActionTimer() {
    const int button = pendingButton_;
    runButtonAction(button);
    if (runningTool_ == -1) pendingButton_ = -1;
}

void LauncherWindow::runButtonAction(int button) {
    switch (button) {
        case 0:
        case 1:
        case 2:
            launchTool(kToolOfButton[button], button);
            break;
        case kQuitButton:
            close();
            break;
        case kUpdateButton:
            updateAction();
            break;
        case kFileCheckButton:
            fileCheckAction();
            break;
        default:
            break;
    }
}

void LauncherWindow::updateAction() {
    if (!runOnlineTest(context_.config)) return showOkBox(this, kUpdateErrorCaption, kNotConnected);
    if (!worker_.updating() && CheckForUpdate(*this, context_.config, context_.manifest)) {
        worker_.StartUpdateWorker();
        return;
    }
    showOkBox(this, kUpdateCaption, kUpToDate);
}

void LauncherWindow::fileCheckAction() {
    if (!runOnlineTest(context_.config))
        return showOkBox(this, kFileCheckErrorCaption, kNotConnected);
    const bool newer = CheckForUpdate(*this, context_.config, context_.manifest);
    showOkBox(this, kFileCheckCaption, newer ? kNewVersion : kUpToDate);
}

// ---- editors ----

void LauncherWindow::launchTool(int toolIndex, int button) {
    const ToolEntry& tool = context_.toolTable[toolIndex];
    const ToolStart start = startTool(tool, toolIndex);
    if (start.outcome == ToolStart::Outcome::unreadable) {
        showOkBox(this, "起動エラー", "起動できません");
        buttons_[button].currentBitmap = buttons_[button].normalBitmap;
        return;
    }
    // Hidden while the editor runs, whether or not it could be started.
    hide();
    runningTool_ = start.outcome == ToolStart::Outcome::started ? start.pid : 0;
    toolWaitTimer_.disconnect();
    connect(&toolWaitTimer_, &QTimer::timeout, this, [this, button] { onToolExited(button); });
    toolWaitTimer_.start();
}

void LauncherWindow::onToolExited(int button) {
    // A tool that was never started counts as ended at once.
    if (runningTool_ > 0 && ::waitpid(runningTool_, nullptr, WNOHANG) == 0) return;
    toolWaitTimer_.stop();
    runningTool_ = -1;
    showNormal();
    buttons_[button].currentBitmap = buttons_[button].normalBitmap;
    pendingButton_ = -1;
    update();
}

// ---- show, hide and close ----

void LauncherWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) checkForUpdateAndStart();
}

void LauncherWindow::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (!event->spontaneous()) checkForUpdateAndStart();
}

void LauncherWindow::closeEvent(QCloseEvent* event) {
    hoverTimer_.stop();
    // The worker is waited for when the window is destroyed, after the
    // event loops have unwound.
    beginShutdown();
    news_.releaseBrowser();
    event->accept();
    emit closed();
}

// ---- reports from the worker ----

template <typename Work>
void LauncherWindow::callOnWindowThread(Work work) {
    if (closing_) return;
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, &work] {
            if (!closing_) work();
        },
        Qt::BlockingQueuedConnection);
}

void LauncherWindow::showMessage(std::string_view caption, std::string_view text) {
    callOnWindowThread([&] { showOkBox(this, caption, text); });
}

void LauncherWindow::OnUpdateReport(UpdateReportCode code, int value, std::string_view text) {
    const std::string copy(text);
    if (code == UpdateReportCode::Downloading) {
        // Progress goes without waiting, as a posted message would.
        if (!closing_)
            QMetaObject::invokeMethod(
                this, [this, code, value] { applyReport(code, value, {}); }, Qt::QueuedConnection);
        return;
    }
    callOnWindowThread([&] { applyReport(code, value, copy); });
}

void LauncherWindow::applyReport(UpdateReportCode code, int value, const std::string& text) {
    if (code == UpdateReportCode::LauncherUpdate) {
        const VersionManifest& manifest = context_.manifest;
        startLauncherCopy({manifest.launcherCopySource(), manifest.launcherCopyTarget()});
        // Closed once the worker's report has returned and its thread can end.
        QTimer::singleShot(0, this, &LauncherWindow::close);
    }
    statusLine_->setText(qt(statusText(code, text)));
    setProgress(value);
    repaint();
}

void LauncherWindow::setProgress(int percent) {
    progressBar_->setRange(0, 100);
    progressBar_->setValue(percent);
}

bool LauncherWindow::startLauncherCopy(const LauncherReplacement& replacement) {
    showOkBox(this, kUpdateCaption, kSelfUpdateMessage);
    const std::string copier = context_.launcherDir + "lcopy";
    if (startDetached(copier, {copier, replacement.source, replacement.target})) return true;
    showOkBox(this, kFailed, kFailed);
    return false;
}

bool LauncherWindow::finishStagedLauncherUpdate() {
    const auto staged = findStagedLauncher(context_.launcherDir);
    return staged && startLauncherCopy(*staged);
}

}  // namespace gd

#include "shell/thread_bridge.h"

#include "script/version_manifest.h"

#include <QThread>

#include <string>
#include <utility>

namespace gd {

namespace {

std::string finalReportLine(const UpdateReport& report) {
    const std::string version =
        " (installed version " + formatVersion(report.installedVersion) + ")";
    switch (report.code) {
        case UpdateReportCode::Completed:
            return "update completed" + version;
        case UpdateReportCode::Failed:
            return "update failed" + version;
        case UpdateReportCode::LauncherUpdate:
            return "update stops for lcopy to replace the launcher with " +
                   report.launcherCopySource + version;
        default:
            return {};
    }
}

}  // namespace

ThreadBridge::ThreadBridge(MessageHandler onMessage, ReportHandler onReport, LauncherLog& log)
    : onMessage_(std::move(onMessage)), onReport_(std::move(onReport)), log_(log) {}

template <typename Work>
void ThreadBridge::callAndWait(Work work) {
    if (closed_) return;
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    // Served by this thread's event loop, or by the loop that waits for the
    // other thread at shutdown: either way the closed check lets it return.
    QMetaObject::invokeMethod(
        this,
        [this, &work] {
            if (!closed_) work();
        },
        Qt::BlockingQueuedConnection);
}

void ThreadBridge::hold(std::string_view reason) {
    std::lock_guard lock(saidMutex_);
    said_[std::this_thread::get_id()].reason = reason;
}

ThreadBridge::Said ThreadBridge::takeSaid() {
    std::lock_guard lock(saidMutex_);
    const auto found = said_.find(std::this_thread::get_id());
    if (found == said_.end()) return {};
    Said said = std::move(found->second);
    said_.erase(found);
    return said;
}

void ThreadBridge::showMessage(std::string_view caption, std::string_view text) {
    std::string reason;
    bool endsRun = false;
    {
        std::lock_guard lock(saidMutex_);
        Said& said = said_[std::this_thread::get_id()];
        reason = std::exchange(said.reason, {});
        said.boxShown = true;
        endsRun = runThread_ == std::this_thread::get_id();
    }
    // The window logs the box as it shows it, and a run's failure with it.
    callAndWait([&] { onMessage_(caption, text, reason, endsRun); });
}

void ThreadBridge::refused(std::string_view reason) {
    log_.write("refused: " + std::string(reason));
    hold(reason);
}

void ThreadBridge::unreachable(std::string_view reason) {
    log_.write("unreachable: " + std::string(reason));
    hold(reason);
}

void ThreadBridge::served(std::string_view file, std::string_view source) {
    log_.write(std::string(file) + " from " + std::string(source));
}

void ThreadBridge::sourceSkipped(std::string_view source, std::string_view reason) {
    log_.write("skipping " + std::string(source) + " for this run: " + std::string(reason));
}

void ThreadBridge::fellBack(std::string_view archive, std::string_view reason) {
    log_.write("not using " + std::string(archive) + ": " + std::string(reason) +
               "; the whole-file archives of its versions follow");
}

void ThreadBridge::OnUpdateReport(const UpdateReport& report) {
    if (report.code == UpdateReportCode::Downloading) {
        post([this, report] { onReport_(report); });
        return;
    }
    if (report.code == UpdateReportCode::ListFetching) {
        // A run begins; what this thread id said before is not its.
        std::lock_guard lock(saidMutex_);
        said_.erase(std::this_thread::get_id());
        runThread_ = std::this_thread::get_id();
    }
    if (const std::string line = finalReportLine(report); !line.empty()) {
        for (const std::string& skipped : report.skipped) log_.write("skipped " + skipped);
        // The run is over: nothing it said waits for a box any more. A
        // failure that showed a box was logged with it, when it happened.
        const Said said = takeSaid();
        if (report.code != UpdateReportCode::Failed || !said.boxShown) log_.write(line);
        std::lock_guard lock(saidMutex_);
        runThread_ = {};
    }
    callAndWait([&] { onReport_(report); });
}

void ThreadBridge::post(std::function<void()> work) {
    if (closed_) return;
    QMetaObject::invokeMethod(
        this,
        [this, work = std::move(work)] {
            if (!closed_) work();
        },
        Qt::QueuedConnection);
}

}  // namespace gd

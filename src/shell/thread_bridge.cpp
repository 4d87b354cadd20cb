#include "shell/thread_bridge.h"

#include <QThread>

#include <string>

namespace gd {

ThreadBridge::ThreadBridge(MessageHandler onMessage, ReportHandler onReport)
    : onMessage_(std::move(onMessage)), onReport_(std::move(onReport)) {}

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

void ThreadBridge::refused(std::string_view reason) {
    const std::lock_guard lock(reasonMutex_);
    std::string& waiting = reasons_[std::this_thread::get_id()];
    waiting += (waiting.empty() ? "" : "\n") + std::string(reason);
}

void ThreadBridge::showMessage(std::string_view caption, std::string_view text) {
    std::string shown(text);
    {
        const std::lock_guard lock(reasonMutex_);
        const auto reason = reasons_.find(std::this_thread::get_id());
        if (reason != reasons_.end()) {
            shown += "\n\n" + reason->second;
            reasons_.erase(reason);
        }
    }
    callAndWait([&] { onMessage_(caption, shown); });
}

void ThreadBridge::forgetReason() {
    const std::lock_guard lock(reasonMutex_);
    reasons_.erase(std::this_thread::get_id());
}

void ThreadBridge::OnUpdateReport(const UpdateReport& report) {
    // A refusal that no box followed is over.
    forgetReason();
    if (report.code == UpdateReportCode::Downloading) {
        post([this, report] { onReport_(report); });
        return;
    }
    callAndWait([&] { onReport_(report); });
}

void ThreadBridge::post(std::function<void()> work) {
    forgetReason();
    if (closed_) return;
    QMetaObject::invokeMethod(
        this,
        [this, work = std::move(work)] {
            if (!closed_) work();
        },
        Qt::QueuedConnection);
}

}  // namespace gd

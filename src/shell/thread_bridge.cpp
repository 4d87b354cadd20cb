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

void ThreadBridge::showMessage(std::string_view caption, std::string_view text) {
    callAndWait([&] { onMessage_(caption, text); });
}

void ThreadBridge::OnUpdateReport(const UpdateReport& report) {
    if (report.code == UpdateReportCode::Downloading) {
        post([this, report] { onReport_(report); });
        return;
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

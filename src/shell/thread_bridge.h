// The one place where work on other threads reaches the launcher window: the
// update worker's reports and error boxes, and the answers of background
// checks. Every call hops to the thread the bridge was made on; once the
// bridge is closed, every call returns at once and nothing more arrives.
#pragma once

#include "script/notifier.h"
#include "update/update_report.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace gd {

class ThreadBridge : public QObject, public Notifier, public UpdateReporter {
  public:
    using MessageHandler = std::function<void(std::string_view caption, std::string_view text)>;
    using ReportHandler = std::function<void(const UpdateReport& report)>;

    // The handlers run on this thread, one at a time.
    ThreadBridge(MessageHandler onMessage, ReportHandler onReport);

    // From now on calls return at once: the window is going. Never waits, so
    // it may run inside a message box's event loop.
    void close() { closed_ = true; }
    bool closed() const { return closed_.load(); }

    // Error boxes wait until the handler has returned (the user's OK), as a
    // cross-thread send waits. So does every report but Downloading, whose
    // progress is posted without waiting.
    void showMessage(std::string_view caption, std::string_view text) override;
    // The reason goes into the next box that the same thread shows, below
    // its fixed text, so that the box says why; a report or a post from the
    // thread first drops it.
    void refused(std::string_view reason) override;
    void OnUpdateReport(const UpdateReport& report) override;
    using UpdateReporter::OnUpdateReport;

    // Runs `work` on this thread later, without waiting, unless the bridge is
    // closed by then.
    void post(std::function<void()> work);

  private:
    template <typename Work>
    void callAndWait(Work work);
    // Drops what the calling thread refused without a box (any other call of
    // the thread ends the story that a refusal belongs to).
    void forgetReason();

    MessageHandler onMessage_;
    ReportHandler onReport_;
    std::atomic<bool> closed_{false};
    std::mutex reasonMutex_;
    std::map<std::thread::id, std::string> reasons_;  // refusals waiting for their box
};

}  // namespace gd

// The one place where work on other threads reaches the launcher window: the
// update worker's reports and error boxes, and the answers of background
// checks. Every call hops to the thread the bridge was made on; once the
// bridge is closed, every call returns at once and nothing more arrives.
// What the engine says besides boxes (why it refused or could not reach
// something, which source served a file) goes into the log as it is said.
#pragma once

#include "script/notifier.h"
#include "shell/launcher_log.h"
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
    // `reason`: why, in plain words, when the engine said so before the box.
    // `endsRun`: the box is the update run's, which ends the run: every box
    // of a run says why it failed.
    using MessageHandler = std::function<void(std::string_view caption, std::string_view text,
                                              std::string_view reason, bool endsRun)>;
    using ReportHandler = std::function<void(const UpdateReport& report)>;

    // The handlers run on this thread, one at a time.
    ThreadBridge(MessageHandler onMessage, ReportHandler onReport, LauncherLog& log);

    // From now on calls return at once: the window is going. Never waits, so
    // it may run inside a message box's event loop.
    void close() { closed_ = true; }
    bool closed() const { return closed_.load(); }

    // Error boxes wait until the handler has returned (the user's OK), as a
    // cross-thread send waits. So does every report but Downloading, whose
    // progress is posted without waiting.
    void showMessage(std::string_view caption, std::string_view text) override;
    void OnUpdateReport(const UpdateReport& report) override;
    using UpdateReporter::OnUpdateReport;
    // Logged, and held for the calling thread's next box, which shows it.
    void refused(std::string_view reason) override;
    void unreachable(std::string_view reason) override;
    // Logged.
    void served(std::string_view file, std::string_view source) override;
    void sourceSkipped(std::string_view source, std::string_view reason) override;
    void fellBack(std::string_view archive, std::string_view reason) override;

    // What the calling thread has said since it last asked: the reason no
    // box took, and whether it showed a box. A check asks before it starts
    // and when it ends.
    struct Said {
        std::string reason;
        bool boxShown = false;
    };
    Said takeSaid();

    // Runs `work` on this thread later, without waiting, unless the bridge is
    // closed by then.
    void post(std::function<void()> work);

  private:
    template <typename Work>
    void callAndWait(Work work);
    void hold(std::string_view reason);

    MessageHandler onMessage_;
    ReportHandler onReport_;
    LauncherLog& log_;
    std::atomic<bool> closed_{false};
    std::mutex saidMutex_;
    std::map<std::thread::id, Said> said_;
    // The thread of the update run under way, from its first report to its
    // last; none between runs.
    std::thread::id runThread_;
};

}  // namespace gd

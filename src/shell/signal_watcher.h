// SIGTERM and SIGINT end the launcher the way its quit command does: the
// signal is turned into a call on the event loop's thread.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace gd {

class SignalWatcher : public QObject {
  public:
    // `onSignal` runs on the calling thread's event loop after either signal.
    explicit SignalWatcher(std::function<void()> onSignal, QObject* parent = nullptr);
    ~SignalWatcher() override;

  private:
    std::function<void()> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
    int readFd_ = -1;
};

}  // namespace gd

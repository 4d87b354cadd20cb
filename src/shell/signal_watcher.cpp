#include "shell/signal_watcher.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace gd {

namespace {

// The write end of the self-pipe, for the handler: a signal handler can reach
// nothing else. Only one watcher exists in the launcher.
volatile std::sig_atomic_t signalPipe = -1;

void onSignal(int /*number*/) {
    const char byte = 1;
    if (signalPipe >= 0) {
        const ssize_t ignored = ::write(signalPipe, &byte, 1);
        (void)ignored;
    }
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void()> onSignalCallback, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignalCallback)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    readFd_ = fds[0];
    signalPipe = fds[1];
    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(readFd_, buffer, sizeof buffer) > 0) {
        }
        onSignal_();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

SignalWatcher::~SignalWatcher() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    const int writeFd = signalPipe;
    signalPipe = -1;
    if (writeFd >= 0) ::close(writeFd);
    if (readFd_ >= 0) ::close(readFd_);
}

}  // namespace gd

// Questions to the update server asked off the window's thread: the online
// test (does the server accept a login?) and the version check. The window
// never waits for the network; the answers come back through the bridge.
#pragma once

#include "fetch/source_probe.h"
#include "script/launcher_config.h"
#include "script/version_manifest.h"

#include <atomic>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace gd {

class ThreadBridge;

// The online test, the same at start-up and for Update and FileCheck: the
// update server accepts a login and its directory can be entered. The
// system's own idea of connectivity is not asked: it calls a machine without a
// default route disconnected even when the server is on its network. Without
// the engine module, offline.
ProbeAnswer runOnlineTest(const ServerRecord& server, std::stop_token stop = {});

struct CheckOrder {
    ServerRecord server;            // a copy: the check never reads the window's records
    bool onlineTest = false;        // ask the online test first
    bool checkWhenOffline = false;  // and run the version check even when it failed
};

struct CheckAnswer {
    bool online = true;      // the online test's answer; true when it was not asked
    std::string tlsFailure;  // offline because TLS failed: why, in plain words
    bool checked = false;
    bool newer = false;  // the server offers a version newer than server.installedVersion
    UpdateOffer offer;   // the archives to apply when newer; what is withheld always
    // Why the online test or the version check failed, in plain words, when
    // no box of the check has said it yet; empty when nothing failed.
    std::string failure;
    bool boxShown = false;  // the version check showed a box of its own
};

// Owns the thread of one check at a time. Destroying it stops a running
// check and waits for it; a check that waits on the network notices the stop
// within milliseconds.
class ServerCheck {
  public:
    using OnlineHandler = std::function<void(const ProbeAnswer& answer)>;
    using DoneHandler = std::function<void(const CheckAnswer& answer)>;

    explicit ServerCheck(ThreadBridge& bridge) : bridge_(bridge) {}
    ServerCheck(const ServerCheck&) = delete;
    ServerCheck& operator=(const ServerCheck&) = delete;
    ~ServerCheck();

    // Starts the order unless a check is busy (false then). The online test's
    // answer goes to `onOnline` as soon as it is known, the whole answer to
    // `onDone` at the end, both on the bridge's thread; a stopped check
    // delivers nothing.
    bool start(CheckOrder order, OnlineHandler onOnline, DoneHandler onDone);
    // From start until just before `onDone` runs. Bridge thread only.
    bool busy() const { return busy_; }
    // Whether the thread has not ended yet.
    bool alive() const { return alive_.load(); }
    void requestStop() { thread_.request_stop(); }
    void wait();

  private:
    CheckAnswer run(const CheckOrder& order, const OnlineHandler& onOnline, std::stop_token stop);

    ThreadBridge& bridge_;
    bool busy_ = false;
    std::atomic<bool> alive_{false};
    std::jthread thread_;
};

}  // namespace gd

#include "shell/server_check.h"

#include "shell/engine_module.h"
#include "shell/thread_bridge.h"

namespace gd {

ProbeAnswer runOnlineTest(const ServerRecord& server, std::stop_token stop) {
    const EngineModuleApi* engine = engineModule();
    if (engine != nullptr) return engine->probe(server, std::move(stop));
    return {false, {}, std::string(kEngineModuleFile) + " cannot be loaded"};
}

ServerCheck::~ServerCheck() {
    requestStop();
    wait();
}

bool ServerCheck::start(CheckOrder order, OnlineHandler onOnline, DoneHandler onDone) {
    if (busy_) return false;
    busy_ = true;
    // A previous check has posted its answer and is about to return.
    wait();
    alive_ = true;
    thread_ = std::jthread([this, order = std::move(order), onOnline = std::move(onOnline),
                            onDone = std::move(onDone)](std::stop_token stop) {
        const CheckAnswer answer = run(order, onOnline, stop);
        if (!stop.stop_requested()) {
            bridge_.post([this, answer, onDone] {
                busy_ = false;
                onDone(answer);
            });
        }
        alive_ = false;
    });
    return true;
}

CheckAnswer ServerCheck::run(const CheckOrder& order, const OnlineHandler& onOnline,
                             std::stop_token stop) {
    CheckAnswer answer;
    if (order.onlineTest) {
        const ProbeAnswer probe = runOnlineTest(order.server, stop);
        answer.online = probe.online;
        answer.tlsFailure = probe.tlsFailure;
        answer.failure = probe.failure;
        if (stop.stop_requested()) return answer;
        bridge_.post([onOnline, probe] { onOnline(probe); });
        if (!answer.online && !order.checkWhenOffline) return answer;
    }
    const EngineModuleApi* engine = engineModule();
    answer.checked = true;
    // What an earlier check on a thread of the same id left unsaid is not ours.
    bridge_.takeSaid();
    answer.newer = engine != nullptr && engine->check(bridge_, order.server, answer.offer, stop);
    const ThreadBridge::Said said = bridge_.takeSaid();
    if (answer.online && !said.reason.empty()) answer.failure = said.reason;
    answer.boxShown = said.boxShown;
    return answer;
}

void ServerCheck::wait() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace gd

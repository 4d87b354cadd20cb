#include "update/source_probe.h"

#include "update/ftp_session.h"
#include "update/http_session.h"
#include "update/source_list.h"
#include "update/update_source.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace gd {
namespace {

// The answers of the sources asked at once: the first yes, or every no.
class ProbeRace {
  public:
    explicit ProbeRace(std::size_t sources) : pending_(sources) {}

    void answer(bool online) {
        std::lock_guard lock(mutex_);
        online_ = online_ || online;
        --pending_;
        done_.notify_all();
    }

    bool wait(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, stop, [this] { return online_ || pending_ == 0; });
        return online_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable_any done_;
    bool online_ = false;
    std::size_t pending_;
};

}  // namespace

bool ProbeSources(const ServerRecord& server, std::stop_token stop) {
    if (!usesMirrors(server)) return ProbeUpdateServer(server, std::move(stop));
    ProbeRace race(server.mirrors.size() + 1);
    std::vector<std::jthread> askers;
    // Each asker stops when the caller does or when it is no longer needed
    // (the jthreads are stopped and joined as they go out of scope).
    for (const std::string& mirror : server.mirrors) {
        askers.emplace_back([&race, mirror](std::stop_token own) {
            HttpOptions options;
            options.timeouts.total = kProbeTimeLimit;
            options.proxy = userMirrorProxy();
            MirrorUpdateSource source(mirror, options);
            race.answer(source.session().Answers(source.urlOf(kVersionScriptName), own));
        });
    }
    askers.emplace_back(
        [&race, &server](std::stop_token own) { race.answer(ProbeUpdateServer(server, own)); });
    std::stop_callback relay(stop, [&askers] {
        for (std::jthread& asker : askers) asker.request_stop();
    });
    const bool online = race.wait(stop);
    for (std::jthread& asker : askers) asker.request_stop();
    return online;
}

}  // namespace gd

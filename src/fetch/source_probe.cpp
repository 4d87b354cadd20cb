#include "fetch/source_probe.h"

#include "fetch/ftp_session.h"
#include "fetch/http_session.h"
#include "fetch/source_list.h"
#include "fetch/update_source.h"

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

    void answer(bool online, std::string tlsFailure = {}, std::string failure = {}) {
        std::lock_guard lock(mutex_);
        online_ = online_ || online;
        if (!tlsFailure.empty()) tlsFailure_ = std::move(tlsFailure);
        if (!failure.empty()) failure_ = std::move(failure);
        --pending_;
        done_.notify_all();
    }

    // A mirror's answer: no, with why, when it did not answer.
    void answerForMirror(bool online, const std::string& mirror, std::string why) {
        {
            std::lock_guard lock(mutex_);
            if (!online) mirrorFailures_.emplace_back(mirror, std::move(why));
        }
        answer(online);
    }

    ProbeAnswer wait(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, stop, [this] { return online_ || pending_ == 0; });
        if (online_) return {true, {}, {}};
        return {false, tlsFailure_, failure_.empty() ? "no source answers" : failure_,
                mirrorFailures_};
    }

  private:
    std::mutex mutex_;
    std::condition_variable_any done_;
    bool online_ = false;
    std::string tlsFailure_;
    std::string failure_;  // the FTP server's; the mirrors' are apart
    std::vector<std::pair<std::string, std::string>> mirrorFailures_;
    std::size_t pending_;
};

ProbeAnswer probeFtpServer(const ServerRecord& server, std::stop_token stop) {
    FtpSession session(FtpTimeouts{.total = kProbeTimeLimit});
    const bool online = session.Open(server, std::move(stop));
    if (online) return {true, {}, {}};
    return {false, session.tlsFailure(), session.failure()};
}

}  // namespace

ProbeAnswer ProbeSources(const ServerRecord& server, std::stop_token stop) {
    if (!usesMirrors(server)) return probeFtpServer(server, std::move(stop));
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
            const std::string url = source.urlOf(kVersionScriptName);
            const bool online = source.session().Answers(url, own);
            race.answerForMirror(online, mirror, url + ": " + source.session().failure());
        });
    }
    askers.emplace_back([&race, &server](std::stop_token own) {
        ProbeAnswer answer = probeFtpServer(server, own);
        race.answer(answer.online, std::move(answer.tlsFailure), std::move(answer.failure));
    });
    std::stop_callback relay(stop, [&askers] {
        for (std::jthread& asker : askers) asker.request_stop();
    });
    ProbeAnswer answer = race.wait(stop);
    for (std::jthread& asker : askers) asker.request_stop();
    return answer;
}

bool ProbeUpdateServer(const ServerRecord& server, std::stop_token stop) {
    return probeFtpServer(server, std::move(stop)).online;
}

}  // namespace gd

#include "fetch/source_probe.h"

#include "fetch/ftp_session.h"
#include "fetch/http_session.h"
#include "fetch/source_list.h"
#include "fetch/update_source.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QNetworkInformation>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace gd {
namespace {

bool isLoopbackServer(std::string_view address) {
    const auto endpoint = parseFtpAddress(address);
    if (!endpoint) return false;
    if (endpoint->host == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, endpoint->host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return ::inet_pton(AF_INET6, endpoint->host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// QNetworkInformation belongs to the application's thread and needs a backend
// that can tell reachability; anything less is no report at all.
bool systemReportsNoNetwork() {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) return false;
    if (QNetworkInformation::instance() == nullptr &&
        !QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        return false;
    }
    const QNetworkInformation* info = QNetworkInformation::instance();
    return info != nullptr && info->supports(QNetworkInformation::Feature::Reachability) &&
           info->reachability() == QNetworkInformation::Reachability::Disconnected;
}

// The answers of the sources asked at once: the first yes, or every no.
class ProbeRace {
  public:
    explicit ProbeRace(std::size_t sources) : pending_(sources) {}

    void answer(bool online, std::string tlsFailure = {}) {
        std::lock_guard lock(mutex_);
        online_ = online_ || online;
        if (!tlsFailure.empty()) tlsFailure_ = std::move(tlsFailure);
        --pending_;
        done_.notify_all();
    }

    ProbeAnswer wait(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, stop, [this] { return online_ || pending_ == 0; });
        return {online_, online_ ? std::string() : tlsFailure_};
    }

  private:
    std::mutex mutex_;
    std::condition_variable_any done_;
    bool online_ = false;
    std::string tlsFailure_;
    std::size_t pending_;
};

ProbeAnswer probeFtpServer(const ServerRecord& server, std::stop_token stop) {
    FtpSession session(FtpTimeouts{.total = kProbeTimeLimit});
    const bool online = session.Open(server, std::move(stop));
    return {online, online ? std::string() : session.tlsFailure()};
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
            race.answer(source.session().Answers(source.urlOf(kVersionScriptName), own));
        });
    }
    askers.emplace_back([&race, &server](std::stop_token own) {
        ProbeAnswer answer = probeFtpServer(server, own);
        race.answer(answer.online, std::move(answer.tlsFailure));
    });
    std::stop_callback relay(stop, [&askers] {
        for (std::jthread& asker : askers) asker.request_stop();
    });
    ProbeAnswer answer = race.wait(stop);
    for (std::jthread& asker : askers) asker.request_stop();
    return answer;
}

bool IsInternetAvailable(std::string_view serverAddress) {
    if (!serverAddress.empty() && isLoopbackServer(serverAddress)) return true;
    return !systemReportsNoNetwork();
}

bool ProbeUpdateServer(const ServerRecord& server, std::stop_token stop) {
    return probeFtpServer(server, std::move(stop)).online;
}

}  // namespace gd

#include "fetch/network_state.h"

#include "script/launcher_config.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QNetworkInformation>
#include <QThread>

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

}  // namespace

bool IsInternetAvailable(std::string_view serverAddress) {
    if (!serverAddress.empty() && isLoopbackServer(serverAddress)) return true;
    return !systemReportsNoNetwork();
}

}  // namespace gd

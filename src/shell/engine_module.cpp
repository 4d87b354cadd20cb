// libgdengine.so: the update engine's network side, for the launcher.

#include "shell/engine_module.h"

#include "fetch/ftp_session.h"
#include "fetch/network_state.h"
#include "fetch/source_probe.h"
#include "fetch/version_check.h"

#include <QNetworkInformation>

namespace {

gd::ProbeAnswer probe(const gd::ServerRecord& server, std::stop_token stop) {
    return gd::ProbeSources(server, std::move(stop));
}

bool check(gd::Notifier& notifier, const gd::ServerRecord& server, gd::UpdateOffer& offer,
           std::stop_token stop) {
    gd::LauncherConfig config;
    config.server = server;
    gd::VersionManifest manifest;
    const bool newer = gd::CheckForUpdate(notifier, config, manifest, std::move(stop));
    // Also when up to date: the version it is not offered yet.
    offer = gd::offerOf(manifest);
    return newer;
}

gd::UpdateWorker* createWorker(gd::Notifier& notifier, gd::UpdateReporter& reporter) {
    return new gd::UpdateWorker(notifier, reporter);
}

bool startWorker(gd::UpdateWorker& worker, gd::UpdateRequest request) {
    return worker.StartUpdateWorker(std::move(request));
}

void waitWorker(gd::UpdateWorker& worker) {
    worker.wait();
}

void destroyWorker(gd::UpdateWorker* worker) {
    delete worker;
}

bool networkAvailable(std::string_view serverAddress) {
    return gd::IsInternetAvailable(serverAddress);
}

bool watchNetwork(QObject* receiver, std::function<void()> onChange) {
    using Info = QNetworkInformation;
    if (Info::instance() == nullptr && !Info::loadBackendByFeatures(Info::Feature::Reachability))
        return false;
    QObject::connect(Info::instance(), &Info::reachabilityChanged, receiver,
                     [onChange = std::move(onChange)] { onChange(); });
    return true;
}

constexpr gd::EngineModuleApi kApi{gd::kEngineModuleVersion,
                                   probe,
                                   check,
                                   createWorker,
                                   startWorker,
                                   waitWorker,
                                   destroyWorker,
                                   networkAvailable,
                                   watchNetwork};

}  // namespace

extern "C" const gd::EngineModuleApi* gdEngineModuleApi() {
    return &kApi;
}

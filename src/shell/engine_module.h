// The boundary between the launcher and its engine module, libgdengine.so:
// the update engine's network side (the FTP client and everything it loads,
// among them the TLS libraries, and Qt's network library for the system's
// word on the network). Loading that costs more than the rest of a start, so
// the launcher loads it only from the thread of its first check, after its
// window is on the screen.
#pragma once

#include "fetch/source_probe.h"
#include "script/launcher_config.h"
#include "script/version_manifest.h"
#include "update/update_worker.h"

#include <functional>
#include <stop_token>
#include <string_view>
#include <vector>

class QObject;

namespace gd {

class Notifier;

inline constexpr int kEngineModuleVersion = 6;
inline constexpr const char* kEngineModuleFile = "libgdengine.so";
inline constexpr const char* kEngineModuleEntry = "gdEngineModuleApi";

struct EngineModuleApi {
    int version;  // kEngineModuleVersion of the module's build
    // ProbeSources: the FTP server or any mirror answers.
    ProbeAnswer (*probe)(const ServerRecord& server, std::stop_token stop);
    // CheckForUpdate against server.installedVersion; when it is true,
    // `offer` holds the archives to apply, and either way the version that
    // the installation is not offered yet.
    bool (*check)(Notifier& notifier, const ServerRecord& server, UpdateOffer& offer,
                  std::stop_token stop);
    // An UpdateWorker made, started, waited for and destroyed inside the
    // module; its inline members may be used directly.
    UpdateWorker* (*createWorker)(Notifier& notifier, UpdateReporter& reporter);
    bool (*startWorker)(UpdateWorker& worker, UpdateRequest request);
    void (*waitWorker)(UpdateWorker& worker);
    void (*destroyWorker)(UpdateWorker* worker);
    // IsInternetAvailable: false only when the system says there is no
    // network. Application thread only, as the two below.
    bool (*networkAvailable)(std::string_view serverAddress);
    // Calls `onChange` on `receiver`'s thread whenever the system reports a
    // change of the network, for as long as `receiver` lives; false where Qt
    // has no backend that can tell.
    bool (*watchNetwork)(QObject* receiver, std::function<void()> onChange);
};

// The module beside the executable, loaded by the first call on whichever
// thread; null when it is missing or from another build.
const EngineModuleApi* engineModule();

}  // namespace gd

extern "C" const gd::EngineModuleApi* gdEngineModuleApi();

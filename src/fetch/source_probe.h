// The online test of an installation: is any of its sources there?
#pragma once

#include "script/launcher_config.h"

#include <stop_token>
#include <string>
#include <string_view>

namespace gd {

// False only when the system positively reports that there is no network.
// Without a backend for that report, without a QCoreApplication, or on
// another thread than the application's, it is true and ProbeUpdateServer
// decides. A server on this machine (a loopback address or "localhost" in
// `serverAddress`, the DUREDOR_FTP_ADR text) needs no network: true.
bool IsInternetAvailable(std::string_view serverAddress = {});

// Whether the update server accepts a login and its directory can be
// entered; false too when that takes longer than kProbeTimeLimit or `stop`
// ended the attempt.
bool ProbeUpdateServer(const ServerRecord& server, std::stop_token stop = {});

// True when the FTP server accepts the login and enters its directory
// (ProbeUpdateServer) or, for an installation served by mirrors, when any
// mirror answers a HEAD request for filelist.dat with success. The sources
// are asked at once; the first yes ends the others. Within kProbeTimeLimit.
// The answer carries why the FTP server could not be used when TLS was at
// fault (a failed handshake, a wrong certificate, a missing CA file, a
// server without TLS), for the person who sees the installation offline.
struct ProbeAnswer {
    bool online = false;
    std::string tlsFailure;  // plain words; empty when TLS was not at fault
};
ProbeAnswer ProbeSources(const ServerRecord& server, std::stop_token stop = {});

}  // namespace gd

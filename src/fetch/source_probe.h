// The online test of an installation: is any of its sources there?
#pragma once

#include "fetch/network_state.h"
#include "script/launcher_config.h"

#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gd {

// Whether the update server accepts a login and its directory can be
// entered; false too when that takes longer than kProbeTimeLimit or `stop`
// ended the attempt.
bool ProbeUpdateServer(const ServerRecord& server, std::stop_token stop = {});

// True when the FTP server accepts the login and enters its directory
// (ProbeUpdateServer) or, for an installation served by mirrors, when any
// mirror answers a HEAD request for filelist.dat with success. The sources
// are asked at once; the first yes ends the others. Within kProbeTimeLimit.
// The answer carries why the FTP server could not be used, for the person
// who sees the installation offline; TLS failures (a failed handshake, a
// wrong certificate, a missing CA file, a server without TLS) apart, since
// the window says those in a box of their own.
struct ProbeAnswer {
    bool online = false;
    std::string tlsFailure;  // plain words; empty when TLS was not at fault
    std::string failure;     // plain words, whatever the cause; empty when online
    // Offline: each mirror and why it did not answer, so that none is left
    // out without a word.
    std::vector<std::pair<std::string, std::string>> mirrorFailures = {};
};
ProbeAnswer ProbeSources(const ServerRecord& server, std::stop_token stop = {});

}  // namespace gd

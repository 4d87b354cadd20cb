// The system's own word on the network, apart from the probe: it needs no
// libcurl, so the window may ask it without loading the engine module.
#pragma once

#include <string_view>

namespace gd {

// False only when the system positively reports that there is no network.
// Without a backend for that report, without a QCoreApplication, or on
// another thread than the application's, it is true and ProbeUpdateServer
// decides. A server on this machine (a loopback address or "localhost" in
// `serverAddress`, the DUREDOR_FTP_ADR text) needs no network: true.
bool IsInternetAvailable(std::string_view serverAddress = {});

}  // namespace gd

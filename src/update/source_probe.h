// The online test of an installation: is any of its sources there?
#pragma once

#include "script/launcher_config.h"

#include <stop_token>

namespace gd {

// True when the FTP server accepts the login and enters its directory
// (ProbeUpdateServer) or, for an installation served by mirrors, when any
// mirror answers a HEAD request for filelist.dat with success. The sources
// are asked at once; the first yes ends the others. Within kProbeTimeLimit.
bool ProbeSources(const ServerRecord& server, std::stop_token stop = {});

}  // namespace gd

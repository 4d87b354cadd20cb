// The version check: the server's version script, fetched from the first
// source that serves it, run against the installed version.
#pragma once

#include "script/launcher_config.h"

#include <stop_token>

namespace gd {

class Notifier;
class VersionManifest;

// Fetches the first 4096 bytes of filelist.dat, deciphers them and runs them
// with runVersionScript against server.installedVersion; a list that stages
// releases offers what offerToAudience gives server.audience, and sets the
// manifest's withheld version. Returns the latest
// version when archives are needed (then listed in `manifest`), else 0, also
// on every failure, when the fetch takes longer than kVersionFetchTimeLimit
// and when `stop` ended the exchange. Script errors are reported through
// `notifier`.
float FetchLatestVersion(Notifier& notifier, const ServerRecord& server, VersionManifest& manifest,
                         std::stop_token stop = {});

// Fetches the server's version script into `manifest` and tells whether it
// offers a version newer than the installed one. Blocks for the network
// exchange, which `stop` ends early (as a failure). A true result always
// comes with at least one manifest entry.
bool CheckForUpdate(Notifier& notifier, const LauncherConfig& config, VersionManifest& manifest,
                    std::stop_token stop = {});

}  // namespace gd

#include "fetch/version_check.h"

#include "fetch/source_list.h"
#include "fetch/trusted_fetch.h"
#include "script/notifier.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"

#include <optional>
#include <string>

namespace gd {

float FetchLatestVersion(Notifier& notifier, const ServerRecord& server, VersionManifest& manifest,
                         std::stop_token stop) {
    if (!settingsUsable(notifier, server)) return 0.0f;
    std::optional<std::string> script = SourceList().fetchVersionScript(notifier, server, stop);
    if (!script) return 0.0f;
    ScriptCipher::decrypt(script->data(), script->size());
    const float latest = runVersionScript(notifier, *script, server.installedVersion, manifest);
    manifest.setRules(parseVersionRules(*script));
    return latest;
}

bool CheckForUpdate(Notifier& notifier, const LauncherConfig& config, VersionManifest& manifest,
                    std::stop_token stop) {
    const float latest = FetchLatestVersion(notifier, config.server, manifest, stop);
    return config.server.installedVersion < latest;
}

}  // namespace gd

#include "fetch/version_check.h"

#include "fetch/source_list.h"
#include "fetch/trusted_fetch.h"
#include "script/notifier.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_offer.h"
#include "script/version_rules.h"

#include <optional>
#include <string>

namespace gd {

namespace {

// Whether the version script showed a box: a list that failed to load or
// run offers nothing, staged or not. runVersionScript says nothing else.
class BoxWatch : public Notifier {
  public:
    explicit BoxWatch(Notifier& notifier) : notifier_(notifier) {}
    void showMessage(std::string_view caption, std::string_view text) override {
        shown_ = true;
        notifier_.showMessage(caption, text);
    }
    bool shown() const { return shown_; }

  private:
    Notifier& notifier_;
    bool shown_ = false;
};

}  // namespace

float FetchLatestVersion(Notifier& notifier, const ServerRecord& server, VersionManifest& manifest,
                         std::stop_token stop) {
    if (!settingsUsable(notifier, server)) return 0.0f;
    std::optional<std::string> script = SourceList().fetchVersionScript(notifier, server, stop);
    if (!script) return 0.0f;
    ScriptCipher::decrypt(script->data(), script->size());
    BoxWatch boxes(notifier);
    const float listed = runVersionScript(boxes, *script, server.installedVersion, manifest);
    manifest.setRules(parseVersionRules(*script));
    if (boxes.shown()) return listed;
    return offerToAudience(manifest, server.audience, server.installedVersion, listed);
}

bool CheckForUpdate(Notifier& notifier, const LauncherConfig& config, VersionManifest& manifest,
                    std::stop_token stop) {
    const float latest = FetchLatestVersion(notifier, config.server, manifest, stop);
    return config.server.installedVersion < latest;
}

}  // namespace gd

// filelist.dat: whatever the script and its rules do, the launcher gets
// either nothing to do or archives newer than the installed version whose
// versions never go back, at most one error box with one of the two texts,
// and the answer soon after the time limit, however the script tries to
// outlast it.

#include "script/notifier.h"
#include "script/version_manifest.h"
#include "script/version_offer.h"
#include "script/version_rules.h"
#include "support/check.h"
#include "support/lua_prelude.h"

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr float kInstalled = 1.5f;
// Short, so that inputs that loop cost little; the answer is due within the
// chunk's and filelist's limits and a margin for unwinding on a busy machine.
constexpr std::chrono::milliseconds kTimeLimit{100};
constexpr auto kAnswerDue = 2 * kTimeLimit + std::chrono::seconds(3);

class RecordingNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        messages.emplace_back(std::string(caption), std::string(text));
    }
    std::vector<std::pair<std::string, std::string>> messages;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (size > gd::kVersionScriptLimit) return -1;

    RecordingNotifier notifier;
    gd::VersionManifest manifest;
    const auto started = std::chrono::steady_clock::now();
    const float latest = gd::runVersionScript(
        notifier, gdfuzz::confined(text, gd::LuaLibraries::Safe), kInstalled, manifest, kTimeLimit);
    GD_FUZZ_CHECK(std::chrono::steady_clock::now() - started < kAnswerDue);

    GD_FUZZ_CHECK(notifier.messages.size() <= 1);
    for (const auto& [caption, message] : notifier.messages) {
        GD_FUZZ_CHECK(caption == gd::kErrorCaption);
        GD_FUZZ_CHECK(message == gd::kVersionScriptLoadError ||
                      message == gd::kVersionScriptRunError);
        GD_FUZZ_CHECK(latest == 0.0f);
    }
    // What an installation of some number and channel is offered, when the
    // rules stage releases and bridge from them.
    manifest.setRules(gd::parseVersionRules(text));
    const float offered = notifier.messages.empty()
                              ? gd::offerToAudience(manifest, {42, "beta"}, kInstalled, latest)
                              : latest;
    if (offered == 0.0f) return 0;
    GD_FUZZ_CHECK(std::isfinite(offered) && offered > kInstalled);
    GD_FUZZ_CHECK(manifest.entryCount() > 0);
    float previous = kInstalled;
    for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
        const float version = manifest.entryAt(i).version;
        GD_FUZZ_CHECK(std::isfinite(version) && version > kInstalled && version >= previous);
        previous = version;
    }
    GD_FUZZ_CHECK(!manifest.launcherUpdatePending());
    return 0;
}

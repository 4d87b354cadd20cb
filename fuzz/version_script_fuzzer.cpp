// filelist.dat: whatever the script does, the launcher gets either nothing to
// do or archives newer than the installed version, and at most one error box
// with one of the two texts.

#include "script/notifier.h"
#include "script/version_manifest.h"
#include "support/check.h"
#include "support/lua_input_filter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr float kInstalled = 1.5f;

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
    if (size > gd::kVersionScriptLimit || gdfuzz::reachesOutside(text)) return -1;

    RecordingNotifier notifier;
    gd::VersionManifest manifest;
    const float latest = gd::runVersionScript(notifier, text, kInstalled, manifest);

    GD_FUZZ_CHECK(notifier.messages.size() <= 1);
    for (const auto& [caption, message] : notifier.messages) {
        GD_FUZZ_CHECK(caption == gd::kErrorCaption);
        GD_FUZZ_CHECK(message == gd::kVersionScriptLoadError ||
                      message == gd::kVersionScriptRunError);
        GD_FUZZ_CHECK(latest == 0.0f);
    }
    if (latest == 0.0f) return 0;
    GD_FUZZ_CHECK(latest > kInstalled);
    GD_FUZZ_CHECK(manifest.entryCount() > 0);
    for (std::size_t i = 0; i < manifest.entryCount(); ++i)
        GD_FUZZ_CHECK(manifest.entryAt(i).version > kInstalled);
    GD_FUZZ_CHECK(!manifest.launcherUpdatePending());
    return 0;
}

// config.dat: any chunk leaves the settings in a usable state soon after the
// time limit, however it tries to outlast it or whatever it loads, and a
// server address taken from it either splits into a host and a port or is
// refused.

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "support/check.h"
#include "support/lua_prelude.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

constexpr std::chrono::milliseconds kTimeLimit{100};
constexpr auto kAnswerDue = 2 * kTimeLimit + std::chrono::seconds(3);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view chunk(reinterpret_cast<const char*>(data), size);
    if (size > gd::kConfigFileLimit) return -1;

    gd::LauncherConfig config;
    const auto started = std::chrono::steady_clock::now();
    gd::applyConfigChunk(gdfuzz::confined(chunk, gd::LuaLibraries::Standard), config, kTimeLimit);
    GD_FUZZ_CHECK(std::chrono::steady_clock::now() - started < kAnswerDue);
    // The version file, not the chunk, sets the versions.
    GD_FUZZ_CHECK(config.server.installedVersion == 0.0f && config.secondVersion == 0.0f);

    const auto endpoint = gd::parseFtpAddress(config.server.ftpAddress);
    if (endpoint) {
        GD_FUZZ_CHECK(!endpoint->host.empty());
        GD_FUZZ_CHECK(endpoint->port != 0);
        GD_FUZZ_CHECK(config.server.ftpAddress.find(endpoint->host) != std::string::npos);
    }
    return 0;
}

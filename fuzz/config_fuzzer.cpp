// config.dat: any chunk leaves the settings in a usable state, and a server
// address taken from it either splits into a host and a port or is refused.

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "support/check.h"
#include "support/lua_input_filter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view chunk(reinterpret_cast<const char*>(data), size);
    if (size > gd::kConfigFileLimit || gdfuzz::reachesOutside(chunk)) return -1;

    gd::LauncherConfig config;
    gd::applyConfigChunk(chunk, config);
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

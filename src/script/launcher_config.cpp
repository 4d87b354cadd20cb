#include "script/launcher_config.h"

#include "script/encrypted_script.h"
#include "script/lua_state.h"
#include "script/trust_settings.h"
#include "script/version_manifest.h"

#include <lua.hpp>

#include <charconv>

namespace gd {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

void takeGlobal(lua_State* state, const char* name, std::string& field) {
    lua_getfield(state, LUA_GLOBALSINDEX, name);
    if (lua_isstring(state, -1)) field = std::string(luaText(state, -1));
    lua_pop(state, 1);
}

}  // namespace

void applyConfigChunk(std::string_view chunk, LauncherConfig& config) {
    LuaState lua;
    if (!lua) return;
    // A chunk that does not load leaves its error message on the stack, and
    // calling that fails harmlessly, as it always has.
    lua.load(chunk, "config.dat");
    lua.pcall(0, 0);

    lua_State* state = lua.get();
    takeGlobal(state, "CERTIFICATION_URL", config.newsPageAddress);
    takeGlobal(state, "DUREDOR_FTP_ADR", config.server.ftpAddress);
    takeGlobal(state, "DUREDOR_FTP_USER", config.server.ftpUser);
    takeGlobal(state, "DUREDOR_FTP_PASS", config.server.ftpPassword);
    takeGlobal(state, "DUREDOR_FTP_PATH", config.server.ftpPath);
    readTrustSettings(state, config.server);
}

void loadLauncherConfig(const std::string& launcherDir, LauncherConfig& config) {
    applyConfigChunk(readEncryptedFile(launcherDir + "config.dat", kConfigFileLimit), config);
    resolveCaFile(launcherDir, config.server);
    loadVersionFile(launcherDir, config);
}

std::optional<FtpEndpoint> parseFtpAddress(std::string_view address) {
    FtpEndpoint endpoint;
    std::string_view portText;
    if (address.starts_with('[')) {
        const auto close = address.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        endpoint.host = std::string(address.substr(1, close - 1));
        const auto rest = address.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            portText = rest.substr(1);
        }
    } else {
        const auto colon = address.find(':');
        if (colon != std::string_view::npos && address.find(':', colon + 1) == address.npos) {
            endpoint.host = std::string(address.substr(0, colon));
            portText = address.substr(colon + 1);
        } else {
            endpoint.host = std::string(address);  // plain host, or a bare IPv6 address
        }
    }
    if (endpoint.host.empty()) return std::nullopt;
    if (!portText.empty() || address.ends_with(':')) {
        const auto port = parsePort(portText);
        if (!port) return std::nullopt;
        endpoint.port = *port;
    }
    return endpoint;
}

}  // namespace gd

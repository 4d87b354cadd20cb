#include "script/launcher_config.h"

#include "script/encrypted_script.h"
#include "script/lua_state.h"
#include "script/script_cipher.h"
#include "script/trust_settings.h"
#include "script/version_manifest.h"

#include <lua.hpp>

#include <charconv>
#include <filesystem>
#include <new>

namespace gd {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Runs inside a protected call: reading a global may run a metamethod, and a
// number's text is made on the Lua heap. Nothing with a destructor lives
// across a Lua call here, since an error unwinds with longjmp.
void takeGlobal(lua_State* state, const char* name, std::string& field) {
    lua_getfield(state, LUA_GLOBALSINDEX, name);
    if (lua_isstring(state, -1)) {
        const std::string_view text = luaText(state, -1);
        bool copied = true;
        try {
            field.assign(text);
        } catch (const std::bad_alloc&) {
            copied = false;
        }
        if (!copied) luaL_error(state, "%s: out of memory", name);
    }
    lua_pop(state, 1);
}

// Takes the five settings in order; run with cpcall, whose argument is the
// LauncherConfig. An error keeps the settings taken before it.
int takeSettings(lua_State* state) {
    auto& config = *static_cast<LauncherConfig*>(lua_touserdata(state, 1));
    takeGlobal(state, "CERTIFICATION_URL", config.newsPageAddress);
    takeGlobal(state, "DUREDOR_FTP_ADR", config.server.ftpAddress);
    takeGlobal(state, "DUREDOR_FTP_USER", config.server.ftpUser);
    takeGlobal(state, "DUREDOR_FTP_PASS", config.server.ftpPassword);
    takeGlobal(state, "DUREDOR_FTP_PATH", config.server.ftpPath);
    return 0;
}

// The error a failed load or call left on the stack, as one short line.
std::string errorText(lua_State* state) {
    constexpr std::size_t kShown = 200;
    std::string text(luaText(state, -1).substr(0, kShown));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return text.empty() ? "(no message)" : text;
}

// config.dat's plain text. A missing file is an empty chunk, as it always
// was; one that is there but cannot be had is a fault, not an empty chunk.
std::string readConfigText(const std::filesystem::path& path, std::string& fault) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        if (error != std::errc::no_such_file_or_directory) fault = "the file cannot be read";
        return {};
    }
    if (size > kConfigFileLimit) {
        fault = "the file is larger than the " + std::to_string(kConfigFileLimit) +
                " bytes the launcher reads";
        return {};
    }
    std::string text = readEncryptedFile(path, kConfigFileLimit);
    if (text.empty() && size > 0) fault = "the file cannot be read";
    return text;
}

// A config.dat written as plain Lua deciphers into noise that does not
// load; the file itself would. Says so, with the way out, when it does.
std::string plainTextHint(std::string_view deciphered) {
    std::string file(deciphered);
    ScriptCipher::encrypt(file.data(), file.size());
    LuaState lua;
    if (file.empty() || !lua || lua.load(file, "config.dat") != 0) return {};
    return "; config.dat is plain Lua text: encipher it with gdtool encrypt";
}

}  // namespace

std::string applyConfigChunk(std::string_view chunk, LauncherConfig& config,
                             std::chrono::milliseconds timeLimit) {
    LuaState lua(timeLimit);
    std::string fault;
    if (!lua) {
        fault = "there is no memory to run the chunk";
    } else {
        // A chunk that does not load leaves its error message on the stack,
        // and calling that fails harmlessly, as it always has.
        if (lua.load(chunk, "config.dat") != 0)
            fault = "the chunk does not load: " + errorText(lua.get()) + plainTextHint(chunk);
        if (lua.pcall(0, 0) != 0 && fault.empty())
            fault = "the chunk stopped with an error: " + errorText(lua.get());
        lua_settop(lua.get(), 0);
        lua.cpcall(takeSettings, &config);
        // Read raw and on their own, so that a chunk that broke the reads
        // above still cannot turn a signed installation into an unsigned one.
        readTrustSettings(lua.get(), config.server);
    }
    if (!fault.empty()) refuseSettings(config.server, fault);
    return fault;
}

void loadConfigFile(const std::string& launcherDir, LauncherConfig& config) {
    std::string fault;
    const std::string text = readConfigText(launcherDir + "config.dat", fault);
    applyConfigChunk(text, config);
    if (!fault.empty()) refuseSettings(config.server, fault);
    resolveCaFile(launcherDir, config.server);
}

std::string signedSuccessorFault(const std::filesystem::path& file) {
    std::string fault;
    const std::string text = readConfigText(file, fault);
    if (!fault.empty()) return fault;
    if (text.empty()) return "the file is missing or empty";
    LauncherConfig config;
    fault = applyConfigChunk(text, config);
    if (fault.empty()) fault = config.server.unusable;
    if (fault.empty() && config.server.signKeys.empty()) fault = "it names no DUREDOR_SIGN_KEY";
    return fault;
}

void loadLauncherConfig(const std::string& launcherDir, LauncherConfig& config) {
    loadConfigFile(launcherDir, config);
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

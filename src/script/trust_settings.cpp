#include "script/trust_settings.h"

#include "script/launcher_config.h"
#include "trust/public_key.h"
#include "trust/secret_key.h"

#include <lua.hpp>

#include <filesystem>
#include <vector>

namespace gd {
namespace {

// What the chunk left in the three globals, copied out of the state.
struct RawSettings {
    int keyType = LUA_TNIL;
    std::vector<std::string> keyTexts;
    bool keyListBroken = false;  // a table that is not a short list of strings
    int tlsType = LUA_TNIL;
    bool tls = false;
    int caType = LUA_TNIL;
    std::string ca;
    int mirrorsType = LUA_TNIL;
    std::vector<std::string> mirrorTexts;
    bool mirrorListBroken = false;
};

void rawGlobal(lua_State* state, const char* name) {
    lua_pushstring(state, name);
    lua_rawget(state, LUA_GLOBALSINDEX);
}

std::string textAt(lua_State* state, int index) {
    std::size_t length = 0;
    const char* text = lua_tolstring(state, index, &length);
    return std::string(text, length);
}

// A table that is a list of 1 to `limit` strings into `texts`; false otherwise.
bool readStringList(lua_State* state, int table, std::size_t limit,
                    std::vector<std::string>& texts) {
    const std::size_t length = lua_objlen(state, table);
    std::size_t entries = 0;
    lua_pushnil(state);
    while (lua_next(state, table) != 0) {
        ++entries;
        lua_pop(state, 1);
    }
    if (entries != length || length == 0 || length > limit) return false;
    bool strings = true;
    for (std::size_t i = 1; i <= length; ++i) {
        lua_rawgeti(state, table, static_cast<int>(i));
        if (lua_type(state, -1) == LUA_TSTRING) {
            texts.push_back(textAt(state, -1));
        } else {
            strings = false;
        }
        lua_pop(state, 1);
    }
    return strings;
}

// Runs under lua_cpcall, so that running out of memory is an error and not
// the end of the process. Only raw reads: no metamethod runs.
int readRawSettings(lua_State* state) {
    auto& raw = *static_cast<RawSettings*>(lua_touserdata(state, 1));
    rawGlobal(state, "DUREDOR_SIGN_KEY");
    raw.keyType = lua_type(state, -1);
    if (raw.keyType == LUA_TSTRING) raw.keyTexts.push_back(textAt(state, -1));
    if (raw.keyType == LUA_TTABLE)
        raw.keyListBroken = !readStringList(state, lua_gettop(state), kSignKeyLimit, raw.keyTexts);
    rawGlobal(state, "DUREDOR_FTP_TLS");
    raw.tlsType = lua_type(state, -1);
    raw.tls = lua_toboolean(state, -1) != 0;
    rawGlobal(state, "DUREDOR_FTP_CA");
    raw.caType = lua_type(state, -1);
    if (raw.caType == LUA_TSTRING) raw.ca = textAt(state, -1);
    rawGlobal(state, "DUREDOR_MIRRORS");
    raw.mirrorsType = lua_type(state, -1);
    if (raw.mirrorsType == LUA_TTABLE) {
        raw.mirrorListBroken =
            !readStringList(state, lua_gettop(state), kMirrorLimit, raw.mirrorTexts);
    }
    return 0;
}

std::string shown(const std::string& text) {
    constexpr std::size_t kShown = 60;
    return "\"" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "\"";
}

// The keys, or the reason they cannot be used.
std::string takeKeys(const RawSettings& raw, std::vector<PublicKey>& keys) {
    if (raw.keyType == LUA_TNIL) return {};
    if (raw.keyType == LUA_TSTRING && raw.keyTexts.front().empty()) return {};
    if (raw.keyType != LUA_TSTRING && raw.keyType != LUA_TTABLE) {
        return "DUREDOR_SIGN_KEY must be a minisign public key or a list of them";
    }
    if (raw.keyListBroken) {
        return "DUREDOR_SIGN_KEY must list between 1 and " + std::to_string(kSignKeyLimit) +
               " minisign public keys as strings";
    }
    for (const std::string& text : raw.keyTexts) {
        const auto key = parsePublicKey(text);
        // Never shown: whoever reads the message must not learn the key.
        if (!key && isSecretKeyFile(text))
            return "DUREDOR_SIGN_KEY holds a minisign secret key, which must never ship: put "
                   "the public key (the second line of the .pub file) there, and make a new "
                   "key pair, since this one is no longer secret";
        if (!key)
            return "DUREDOR_SIGN_KEY holds " + shown(text) + ", which is no minisign public key";
        keys.push_back(*key);
    }
    return {};
}

std::string takeTransport(const RawSettings& raw, ServerRecord& server) {
    if (raw.tlsType != LUA_TNIL && raw.tlsType != LUA_TBOOLEAN) {
        return "DUREDOR_FTP_TLS must be true or false";
    }
    server.ftpTls = raw.tls;
    if (raw.caType == LUA_TNIL || (raw.caType == LUA_TSTRING && raw.ca.empty())) return {};
    if (raw.caType != LUA_TSTRING) return "DUREDOR_FTP_CA must name a file";
    if (!server.ftpTls) return "DUREDOR_FTP_CA is set, but DUREDOR_FTP_TLS is not true";
    server.ftpCaFile = raw.ca;
    return {};
}

// A base URL that libcurl will take as it is: the scheme, a host, and no
// blank or control character that could split a request.
bool isMirrorUrl(const std::string& text) {
    const bool secure = text.starts_with("https://");
    if (!secure && !text.starts_with("http://")) return false;
    const std::size_t host = secure ? 8 : 7;
    if (text.size() == host || text[host] == '/') return false;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    }
    return true;
}

// Only a signed installation takes mirrors: without signatures, whoever
// runs one would control the installation.
std::string takeMirrors(const RawSettings& raw, ServerRecord& server) {
    if (raw.mirrorsType == LUA_TNIL) return {};
    if (server.signKeys.empty()) {
        server.mirrorsIgnored = true;
        return {};
    }
    if (raw.mirrorsType != LUA_TTABLE || raw.mirrorListBroken) {
        return "DUREDOR_MIRRORS must list between 1 and " + std::to_string(kMirrorLimit) +
               " base URLs as strings";
    }
    for (const std::string& text : raw.mirrorTexts) {
        if (!isMirrorUrl(text))
            return "DUREDOR_MIRRORS holds " + shown(text) + ", which is no http:// or https:// URL";
    }
    server.mirrors = raw.mirrorTexts;
    return {};
}

}  // namespace

void readTrustSettings(lua_State* state, ServerRecord& server) {
    server.signKeys.clear();
    server.ftpTls = false;
    server.ftpCaFile.clear();
    server.mirrors.clear();
    server.mirrorsIgnored = false;
    server.unusable.clear();
    RawSettings raw;
    if (lua_cpcall(state, readRawSettings, &raw) != 0) {
        lua_pop(state, 1);
        server.unusable = "the settings of config.dat cannot be read";
        return;
    }
    std::string unusable = takeKeys(raw, server.signKeys);
    if (unusable.empty()) unusable = takeTransport(raw, server);
    if (unusable.empty()) unusable = takeMirrors(raw, server);
    if (!unusable.empty()) refuseSettings(server, std::move(unusable));
}

void refuseSettings(ServerRecord& server, std::string reason) {
    server.unusable = std::move(reason);
    server.signKeys.clear();
    server.mirrors.clear();
}

void resolveCaFile(const std::string& launcherDir, ServerRecord& server) {
    if (server.ftpCaFile.empty()) return;
    std::error_code error;
    const auto path =
        std::filesystem::absolute(std::filesystem::path(launcherDir) / server.ftpCaFile, error);
    if (!error) server.ftpCaFile = path.lexically_normal().string();
}

void refreshSignKeys(const std::string& launcherDir, ServerRecord& server) {
    LauncherConfig current;
    loadConfigFile(launcherDir, current);
    if (!current.server.unusable.empty()) {
        // The keys stay: the settings stop every check until they are mended.
        server.unusable = std::move(current.server.unusable);
    } else if (!server.signKeys.empty() && current.server.signKeys.empty()) {
        server.unusable =
            "the installed one names no DUREDOR_SIGN_KEY, and an update does not make a signed "
            "installation unsigned";
    } else {
        server.signKeys = std::move(current.server.signKeys);
        server.unusable.clear();
    }
}

}  // namespace gd

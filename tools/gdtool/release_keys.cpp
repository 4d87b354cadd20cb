#include "release_keys.h"

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "script/lua_state.h"
#include "script/trust_settings.h"
#include "trust/public_key.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigName = "config.dat";

struct TreeKeys {
    std::vector<gd::PublicKey> keys;
    std::string problem;  // why the tree's config.dat cannot be used
};

std::string luaError(gd::LuaState& lua) {
    const std::string_view message = gd::luaText(lua.get(), -1);
    return message.empty() ? "an error without a message" : std::string(message);
}

// config.dat as launchers load it, run to its end: a chunk that stops
// half way would leave installations with what it set before it stopped.
TreeKeys keysOf(const fs::path& tree) {
    const fs::path file = tree / kConfigName;
    std::error_code error;
    if (!fs::exists(file, error)) return {};
    const auto size = fs::file_size(file, error);
    if (error) return {{}, "cannot read " + file.string()};
    if (size > gd::kConfigFileLimit)
        return {{},
                file.string() + " is " + std::to_string(size) + " bytes; launchers read " +
                    std::to_string(gd::kConfigFileLimit) + " at most"};
    gd::LuaState lua;
    if (!lua) return {{}, "no Lua state for " + file.string()};
    const std::string chunk = gd::readEncryptedFile(file, gd::kConfigFileLimit);
    if (lua.load(chunk, kConfigName) != 0 || lua.pcall(0, 0) != 0)
        return {{}, file.string() + " does not run to its end: " + luaError(lua)};
    gd::ServerRecord server;
    gd::readTrustSettings(lua.get(), server);
    if (!server.unusable.empty()) return {{}, file.string() + ": " + server.unusable};
    return {server.signKeys, {}};
}

bool sameKeys(std::vector<gd::PublicKey> a, std::vector<gd::PublicKey> b) {
    const auto before = [](const gd::PublicKey& x, const gd::PublicKey& y) {
        return std::tie(x.id, x.key) < std::tie(y.id, y.key);
    };
    std::sort(a.begin(), a.end(), before);
    std::sort(b.begin(), b.end(), before);
    a.erase(std::unique(a.begin(), a.end()), a.end());
    b.erase(std::unique(b.begin(), b.end()), b.end());
    return a == b;
}

std::string keyList(const std::vector<gd::PublicKey>& keys) {
    if (keys.empty()) return "none";
    std::string text;
    for (const gd::PublicKey& key : keys)
        text += (text.empty() ? "" : ", ") + gd::keyIdText(key.id);
    return text;
}

}  // namespace

std::string configKeyProblem(const fs::path& oldTree, const fs::path& newTree, bool changeKeys) {
    const TreeKeys after = keysOf(newTree);
    if (!after.problem.empty())
        return after.problem + "; every installation would take it, and launchers cannot use it";
    if (changeKeys) return {};
    const TreeKeys before = keysOf(oldTree);
    if (!before.problem.empty())
        return before.problem + ", so the keys of NEW_TREE cannot be compared with it; give " +
               "--change-keys to publish them all the same";
    if (sameKeys(before.keys, after.keys)) return {};
    const std::string what = after.keys.empty()    ? "drops the publisher keys"
                             : before.keys.empty() ? "adds publisher keys"
                                                   : "changes the publisher keys";
    return (newTree / kConfigName).string() + " " + what +
           " (DUREDOR_SIGN_KEY): " + keyList(before.keys) + " in OLD_TREE, " + keyList(after.keys) +
           " in NEW_TREE. Installations trust what it names from this release on; give "
           "--change-keys if that is meant";
}

}  // namespace gdtool

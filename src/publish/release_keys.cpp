#include "publish/release_keys.h"

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "trust/public_key.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigName = "config.dat";

struct TreeKeys {
    std::vector<gd::PublicKey> keys;
    std::string problem;  // why the tree's config.dat cannot be used
};

// config.dat read and run as launchers read and run it: a chunk that stops
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
    gd::LauncherConfig config;
    const std::string fault =
        gd::applyConfigChunk(gd::readEncryptedFile(file, gd::kConfigFileLimit), config);
    if (!fault.empty()) return {{}, file.string() + " does not run to its end: " + fault};
    if (!config.server.unusable.empty()) return {{}, file.string() + ": " + config.server.unusable};
    return {config.server.signKeys, {}};
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

bool trusts(const std::vector<gd::PublicKey>& keys, const gd::PublicKey& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

std::string keyList(const std::vector<gd::PublicKey>& keys) {
    if (keys.empty()) return "none";
    std::string text;
    for (const gd::PublicKey& key : keys)
        text += (text.empty() ? "" : ", ") + gd::keyIdText(key.id);
    return text;
}

std::vector<gd::PublicKey> trustedKeys(const fs::path& tree) {
    return keysOf(tree).keys;
}

std::string signingKeyProblem(const fs::path& oldTree, const fs::path& newTree,
                              const std::optional<gd::PublicKey>& signer) {
    const std::vector<gd::PublicKey> after = trustedKeys(newTree);
    const std::vector<gd::PublicKey> before = trustedKeys(oldTree);
    const std::string file = (newTree / kConfigName).string();
    if (!signer) {
        if (after.empty()) return {};
        return file + " trusts publisher keys (" + keyList(after) +
               "): installations that take this release refuse every list not signed by one "
               "of them; give --sign SECFILE with one of them";
    }
    const std::string id = gd::keyIdText(signer->id);
    if (!trusts(after, *signer))
        return "the key " + id + " is not one that " + file + " trusts (" + keyList(after) +
               "): installations that take this release would refuse every list it signs";
    if (!before.empty() && !trusts(before, *signer))
        return "the key " + id + " is not one that " + (oldTree / kConfigName).string() +
               " trusts (" + keyList(before) +
               "): installations at the last release would refuse this list. To move to a new "
               "key, publish a release whose config.dat trusts both the old key and the new "
               "(--change-keys), signed with the old one; then sign with the new";
    return {};
}

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

}  // namespace gd::publish

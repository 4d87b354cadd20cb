#include "publish/list_binding.h"

#include "publish/key_files.h"
#include "publish/release_record.h"

#include "script/launcher_config.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"
#include "trust/trusted_comment.h"

#include <algorithm>

namespace gd::publish {

namespace fs = std::filesystem;

std::vector<std::string> treeFolders(const std::vector<fs::path>& trees) {
    std::vector<std::string> folders;
    for (const fs::path& tree : trees) {
        std::error_code error;
        if (!fs::is_regular_file(tree / "config.dat", error)) continue;
        gd::LauncherConfig config;
        gd::loadConfigFile(tree.string() + "/", config);
        if (!config.server.unusable.empty()) continue;
        const std::string folder = gd::boundFolder(config.server.ftpPath);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    return folders;
}

std::vector<std::string> signedFolders(const fs::path& list, const gd::PublicKey& key) {
    const auto text = readSmallFile(gd::signatureNameFor(list.string()), gd::kSignatureFileLimit);
    gd::SignatureCheck check(std::span(&key, 1), {list.filename().string(), false, 0});
    if (!check.judgeSignatureFile(text)) return {};
    return gd::readTrustedComment(check.signatureFile()->trustedComment).folders;
}

std::vector<std::string> boundFolders(const ServerState& state, const fs::path& live) {
    if (state.published) return state.published->folders;
    if (!state.listSigner) return {};
    return signedFolders(live / kVersionScriptName, *state.listSigner);
}

}  // namespace gd::publish

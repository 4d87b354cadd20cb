#include "publish/list_writer.h"

#include "script/encrypted_script.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_rules.h"
#include "trust/content_hash.h"
#include "trust/signature_file.h"

namespace gd::publish {

namespace fs = std::filesystem;

std::string deltaRuleLines(std::string_view list) {
    return linesWith(list, {gd::kDeltaRulePrefix, gd::kBasesRulePrefix});
}

std::string deltaRuleLines(const std::vector<OfferedDelta>& deltas) {
    return versionRulesText({}, deltas, {});
}

std::vector<std::pair<std::string, gd::ContentDigest>> listPins(
    const std::vector<Release>& releases, const std::map<std::string, gd::ContentDigest>& known,
    const fs::path& dir, std::string& error) {
    std::vector<std::pair<std::string, gd::ContentDigest>> pins;
    const auto pin = [&](const std::string& archive) {
        if (const auto found = known.find(archive); found != known.end()) {
            pins.emplace_back(archive, found->second);
            return true;
        }
        std::error_code missing;
        if (!fs::exists(dir / archive, missing)) return true;
        const auto digest = gd::digestFile(dir / archive);
        if (!digest) {
            error = "cannot read " + (dir / archive).string();
            return false;
        }
        pins.emplace_back(archive, *digest);
        return true;
    };
    for (const Release& release : releases) {
        if (!pin(release.archive)) return {};
        for (const Bridge& bridge : release.bridges)
            if (!pin(bridge.archive)) return {};
    }
    return pins;
}

std::string listTooLongMessage(std::size_t size) {
    return "filelist.dat would be " + std::to_string(size) +
           " bytes; launchers read only the first " + std::to_string(gd::kVersionScriptLimit) +
           " (shorten the descriptions in " + kRecordName +
           ", or offer fewer delta archives with --catch-up)";
}

std::optional<std::string> composeList(
    const std::vector<Release>& releases, std::string_view deltaRules,
    const std::vector<std::pair<std::string, gd::ContentDigest>>& pins, std::string& error) {
    // The rules in their order: staged releases and bridges, deltas, pins.
    const std::string staged = versionRulesText(releases, {}, {});
    const std::string pinned = versionRulesText({}, {}, pins);
    std::string list = versionScriptText(releases) + staged + std::string(deltaRules) + pinned;
    if (list.size() > gd::kVersionScriptLimit) {
        error = listTooLongMessage(list.size());
        return std::nullopt;
    }
    return list;
}

bool stageList(ServerPublication& publication, const std::vector<Release>& releases,
               std::string list, const std::optional<SigningRequest>& signing, std::string& error) {
    gd::ScriptCipher::encrypt(list.data(), list.size());
    if (!publication.writeFile(kRecordName, recordText(releases), error) ||
        !publication.writeFile(kVersionScriptName, list, error))
        return false;
    if (!signing) return true;
    const auto hash = gd::hashContent(list);
    const auto text =
        hash ? signatureFor(*signing, kVersionScriptName, *hash, error) : std::nullopt;
    if (!text && error.empty()) error = "cannot hash " + std::string(kVersionScriptName);
    return text && publication.writeFile(kVersionScriptName + std::string(gd::kSignatureSuffix),
                                         *text, error);
}

}  // namespace gd::publish

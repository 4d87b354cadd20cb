// The version list and the record as every publisher's command writes them
// into a staged update directory: the record, filelist.dat made from it
// (the Lua chain, then the rules), and the list's signature.
#pragma once

#include "publish/release_record.h"
#include "publish/release_signing.h"
#include "publish/server_publication.h"

#include "trust/content_digest.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd::publish {

// The `--@delta` lines (and their `--@bases`) of a deciphered list, as they stand.
std::string deltaRuleLines(std::string_view list);
// The `--@delta` lines of `deltas`, each with its digest when it has a hash.
std::string deltaRuleLines(const std::vector<OfferedDelta>& deltas);

// The pins of a signed list, in the record's order: each archive of
// `releases` and of their bridges, with the digest in `known` (archives
// made and proved in this step, and the live list's pins), else read from
// the file in `dir`. An archive that is not there is not pinned.
std::vector<std::pair<std::string, gd::ContentDigest>> listPins(
    const std::vector<Release>& releases, const std::map<std::string, gd::ContentDigest>& known,
    const std::filesystem::path& dir, std::string& error);

// filelist.dat for `releases` (plain): the chain, then the rules of its
// staged releases and bridges, `deltaRules` and `pins`. nullopt when it is
// longer than launchers read (`error` says so).
std::optional<std::string> composeList(
    const std::vector<Release>& releases, std::string_view deltaRules,
    const std::vector<std::pair<std::string, gd::ContentDigest>>& pins, std::string& error);

// releases.txt and filelist.dat (enciphered here), and with `signing` its
// signature, written into the staged tree of `publication`.
bool stageList(ServerPublication& publication, const std::vector<Release>& releases,
               std::string list, const std::optional<SigningRequest>& signing, std::string& error);

// The message for a list that outgrows what launchers read.
std::string listTooLongMessage(std::size_t size);

}  // namespace gd::publish

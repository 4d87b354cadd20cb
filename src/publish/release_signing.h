// Signatures of published files, made as `gdtool sign` makes them but over
// the hash that the release took of what it wrote and proved, never over
// whatever a path holds by the time it signs.
#pragma once

#include "trust/content_hash.h"
#include "trust/secret_key.h"

#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

struct SigningRequest {
    gd::SecretKey key;
    std::optional<int> expiresDays;  // filelist.dat only; its default otherwise
    // filelist.dat only: the update folders (DUREDOR_FTP_PATH) of the
    // installations it is for (see list_binding.h); none: any folder.
    std::vector<std::string> folders = {};
};

// The text of NAME.minisig for the published file `name` whose content has
// `hash`: trusted comment "file=<name>", and for the version list
// "expires=<unix seconds>" and "folder=<folder>" per folder. nullopt with
// `error` set when the name cannot be signed.
std::optional<std::string> signatureFor(const SigningRequest& request, const std::string& name,
                                        const gd::ContentHash& hash, std::string& error);

}  // namespace gd::publish

// Signatures of published files: the one place where gdtool release signs
// what it publishes, with the same code as gdtool sign.
#pragma once

#include "trust/secret_key.h"

#include <filesystem>
#include <optional>
#include <string>

namespace gdtool {

struct SigningRequest {
    gd::SecretKey key;
    std::optional<int> expiresDays;  // filelist.dat only; its default otherwise
};

// Writes `file`.minisig, trusted comment "file=<name>", and for the version
// list (`withExpiry`) "expires=<unix seconds>". False with `error` set.
bool signPublishedFile(const SigningRequest& request, const std::filesystem::path& file,
                       bool withExpiry, std::string& error);

}  // namespace gdtool

// Signatures of published files: the one place where gdtool release signs
// what it publishes and gdtool audit checks it. Signed releases are not part
// of this gdtool yet, so both refuse; their options are refused up front.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace gdtool {

struct SigningRequest {
    std::filesystem::path secretKey;
    std::optional<unsigned> expiresDays;  // filelist.dat only
};

// Why the signing options cannot be used, or empty when they can.
std::string signingUnavailableReason();

// Writes `file`.minisig, trusted comment "file=<name>" (and "expires=<unix
// seconds>" when the request has a lifetime). False with `error` set.
bool signPublishedFile(const SigningRequest& request, const std::filesystem::path& file,
                       bool withExpiry, std::string& error);

// Checks `file`.minisig against the public key. False with `error` set.
bool verifyPublishedFile(const std::filesystem::path& publicKey, const std::filesystem::path& file,
                         std::string& error);

}  // namespace gdtool

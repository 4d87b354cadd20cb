#include "release_signing.h"

#include "key_files.h"

#include "trust/signature_check.h"
#include "trust/signing.h"

#include <ctime>
#include <span>

namespace gdtool {

bool signPublishedFile(const SigningRequest& request, const std::filesystem::path& file,
                       bool withExpiry, std::string& error) {
    // An archive's signature never expires: an installation may stay behind
    // for years and must still be able to take the archive then.
    const std::optional<int> days = withExpiry ? request.expiresDays : std::nullopt;
    return gd::writeSignatureFor(file, request.key, days, std::time(nullptr), error);
}

bool verifyPublishedFile(const gd::PublicKey& publicKey, const std::filesystem::path& file,
                         std::string& error) {
    gd::SignatureCheck check(std::span(&publicKey, 1),
                             gd::expectationsFor(file.filename().string(), std::time(nullptr)));
    const auto signature =
        readSmallFile(gd::signatureNameFor(file.string()), gd::kSignatureFileLimit);
    if (check.judgeSignatureFile(signature) && check.judgeFile(file)) return true;
    error = check.refusal();
    return false;
}

}  // namespace gdtool

#include "release_signing.h"

#include "trust/signing.h"

#include <ctime>

namespace gdtool {

bool signPublishedFile(const SigningRequest& request, const std::filesystem::path& file,
                       bool withExpiry, std::string& error) {
    // An archive's signature never expires: an installation may stay behind
    // for years and must still be able to take the archive then.
    const std::optional<int> days = withExpiry ? request.expiresDays : std::nullopt;
    return gd::writeSignatureFor(file, request.key, days, std::time(nullptr), error);
}

}  // namespace gdtool

#include "publish/release_signing.h"

#include "trust/signature_check.h"
#include "trust/signing.h"
#include "trust/trusted_comment.h"

#include <ctime>

namespace gd::publish {

std::optional<std::string> signatureFor(const SigningRequest& request, const std::string& name,
                                        const gd::ContentHash& hash, std::string& error) {
    if (!gd::isSignableName(name)) {
        error = name + ": a signed name cannot hold blanks or control characters";
        return std::nullopt;
    }
    // An archive's signature never expires: an installation may stay behind
    // for years and must still be able to take the archive then.
    const bool list = name == gd::kVersionListName;
    const std::optional<int> days = list ? request.expiresDays : std::nullopt;
    const std::int64_t now = std::time(nullptr);
    const std::span<const std::string> folders =
        list ? std::span(request.folders) : std::span<const std::string>();
    return gd::signHash(request.key, hash,
                        gd::makeTrustedComment(name, gd::expiryFor(name, days, now), now, folders));
}

}  // namespace gd::publish

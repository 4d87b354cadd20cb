#include "release_signing.h"

namespace gdtool {

std::string signingUnavailableReason() {
    return "signed releases are not available in this gdtool yet";
}

bool signPublishedFile(const SigningRequest& /*request*/, const std::filesystem::path& /*file*/,
                       bool /*withExpiry*/, std::string& error) {
    error = signingUnavailableReason();
    return false;
}

bool verifyPublishedFile(const std::filesystem::path& /*publicKey*/,
                         const std::filesystem::path& /*file*/, std::string& error) {
    error = signingUnavailableReason();
    return false;
}

}  // namespace gdtool

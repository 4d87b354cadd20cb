// A .minisig from the server: any text is refused or read, what is read
// reads back the same, and nothing is accepted that the secret key did not
// sign (the seeds were made by minisign with a key that was then thrown away).

#include "support/check.h"
#include "trust/public_key.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace {

// The key that made the seed signatures (fuzz/corpus/signature_file).
constexpr std::string_view kSeedKey = "RWRF2/YZbAr51RSzvT/35qx8yVMc9Dxaj52ZfaJFAQ9UWSmpeDYFHCea";
constexpr std::string_view kSeedContent = "GrooveDeck 1.1\n";
constexpr std::string_view kSeedComment = "file=p110.zip";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto parsed = gd::parseSignatureFile(text)) {
        const auto again = gd::parseSignatureFile(gd::formatSignatureFile(*parsed));
        GD_FUZZ_CHECK(again && again->signature == parsed->signature &&
                      again->globalSignature == parsed->globalSignature &&
                      again->trustedComment == parsed->trustedComment &&
                      again->keyId == parsed->keyId && again->algorithm == parsed->algorithm);
    }
    const auto key = gd::parsePublicKey(kSeedKey);
    GD_FUZZ_CHECK(key.has_value());
    gd::SignatureCheck check(std::span(&*key, 1), gd::expectationsFor("p110.zip", 1800000000));
    if (check.judgeSignatureFile(text) && check.judgeContent(kSeedContent)) {
        // Only the untrusted comment may differ from a seed's.
        GD_FUZZ_CHECK(check.signatureFile()->trustedComment == kSeedComment);
    } else {
        GD_FUZZ_CHECK(check.refusal().starts_with("signature of p110.zip refused: "));
    }
    return 0;
}

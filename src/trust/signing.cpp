#include "trust/signing.h"

#include "trust/content_hash.h"
#include "trust/crypto_library.h"
#include "trust/signature_check.h"
#include "trust/signature_file.h"
#include "trust/trusted_comment.h"
#include "util/fd_io.h"
#include "util/replace_file.h"

#include <sodium.h>

namespace gd {
namespace {

constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;

Signature signBytes(const SecretKey& key, std::string_view bytes) {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         key.key.data());
    return signature;
}

std::string signatureOfHash(const SecretKey& key, const ContentHash& hash,
                            std::string_view trustedComment) {
    SignatureFile file;
    file.algorithm = SignatureAlgorithm::Prehashed;
    file.keyId = key.id;
    file.signature =
        signBytes(key, std::string_view(reinterpret_cast<const char*>(hash.data()), hash.size()));
    file.untrustedComment = "signature from minisign secret key " + keyIdText(key.id);
    file.trustedComment = std::string(trustedComment);
    file.globalSignature = signBytes(key, globallySignedBytes(file));
    return formatSignatureFile(file);
}

}  // namespace

std::optional<std::int64_t> expiryFor(std::string_view fileName, std::optional<int> days,
                                      std::int64_t now) {
    if (days) return now + *days * kSecondsPerDay;
    if (fileName == kVersionListName) return now + kVersionListValidDays * kSecondsPerDay;
    return std::nullopt;
}

std::optional<std::string> signContent(const SecretKey& key, std::string_view bytes,
                                       std::string_view trustedComment) {
    const auto hash = hashContent(bytes);
    if (!hash) return std::nullopt;
    return signatureOfHash(key, *hash, trustedComment);
}

std::optional<std::string> signFile(const SecretKey& key, const std::filesystem::path& file,
                                    std::string_view trustedComment) {
    const auto hash = hashFile(file);
    if (!hash) return std::nullopt;
    return signatureOfHash(key, *hash, trustedComment);
}

std::string signHash(const SecretKey& key, const ContentHash& hash,
                     std::string_view trustedComment) {
    return signatureOfHash(key, hash, trustedComment);
}

bool writeSignatureFor(const std::filesystem::path& file, const SecretKey& key,
                       std::optional<int> days, std::int64_t now, std::string& problem,
                       std::span<const std::string> folders) {
    const std::string name = file.filename().string();
    if (!isSignableName(name)) {
        problem = file.string() + ": a signed name cannot hold blanks or control characters";
        return false;
    }
    if (name != kVersionListName) folders = {};
    const auto comment = makeTrustedComment(name, expiryFor(name, days, now), now, folders);
    const auto text = signFile(key, file, comment);
    if (!text) {
        problem = file.string() + " cannot be read";
        return false;
    }
    const std::filesystem::path target = file.string() + std::string(kSignatureSuffix);
    FileReplacement replacement(target, 0644);
    if (!replacement || !writeAll(replacement.fd(), text->data(), text->size()) ||
        !replacement.commit()) {
        problem = target.string() + " cannot be written";
        return false;
    }
    return true;
}

}  // namespace gd

#include "trust/secret_key.h"

#include "trust/crypto_library.h"

#include <sodium.h>

#include <algorithm>

namespace gd {
namespace {

constexpr std::string_view kCommentPrefix = "untrusted comment:";
constexpr std::size_t kChecksumSize = 32;

// Offsets in the decoded line.
constexpr std::size_t kKdfAt = 2;
constexpr std::size_t kChecksumAlgorithmAt = 4;
constexpr std::size_t kKeyIdAt = 2 + 2 + 2 + 32 + 8 + 8;
constexpr std::size_t kKeyAt = kKeyIdAt + 8;
constexpr std::size_t kChecksumAt = kKeyAt + 64;
constexpr std::size_t kEncodedSize = kChecksumAt + kChecksumSize;

using Checksum = std::array<std::uint8_t, kChecksumSize>;

// BLAKE2b-256 of the algorithm, the key id and the secret key.
Checksum checksumOf(const SecretKey& key) {
    Checksum sum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sum.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>("Ed"), 2);
    crypto_generichash_update(&state, key.id.data(), key.id.size());
    crypto_generichash_update(&state, key.key.data(), key.key.size());
    crypto_generichash_final(&state, sum.data(), sum.size());
    return sum;
}

std::string_view keyLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    if (text.starts_with(kCommentPrefix)) {
        const auto end = text.find('\n');
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return text;
}

}  // namespace

PublicKey SecretKey::publicKey() const {
    PublicKey pub;
    pub.id = id;
    std::copy_n(key.begin() + 32, pub.key.size(), pub.key.begin());
    return pub;
}

std::optional<SecretKey> parseSecretKeyFile(std::string_view text, std::string& problem) {
    const auto bytes = fromBase64(keyLine(text), kEncodedSize);
    if (!bytes || !std::equal(bytes->begin(), bytes->begin() + 2, "Ed") ||
        !std::equal(bytes->begin() + kChecksumAlgorithmAt,
                    bytes->begin() + kChecksumAlgorithmAt + 2, "B2")) {
        problem = "not a minisign secret key";
        return std::nullopt;
    }
    if ((*bytes)[kKdfAt] != 0 || (*bytes)[kKdfAt + 1] != 0) {
        problem =
            "the secret key is protected by a password; make one without "
            "(gdtool keygen, or minisign -G -W) or sign with minisign -S";
        return std::nullopt;
    }
    SecretKey key;
    std::copy_n(bytes->begin() + kKeyIdAt, key.id.size(), key.id.begin());
    std::copy_n(bytes->begin() + kKeyAt, key.key.size(), key.key.begin());
    Checksum stored{};
    std::copy_n(bytes->begin() + kChecksumAt, stored.size(), stored.begin());
    // minisign leaves the checksum of a key without password empty.
    if (stored != Checksum{} && stored != checksumOf(key)) {
        problem = "the secret key is damaged (its checksum does not match)";
        return std::nullopt;
    }
    return key;
}

bool isSecretKeyFile(std::string_view text) {
    const auto bytes = fromBase64(keyLine(text), kEncodedSize);
    return bytes && std::equal(bytes->begin(), bytes->begin() + 2, "Ed") &&
           std::equal(bytes->begin() + kChecksumAlgorithmAt,
                      bytes->begin() + kChecksumAlgorithmAt + 2, "B2");
}

std::string formatSecretKeyFile(const SecretKey& key) {
    std::array<std::uint8_t, kEncodedSize> bytes{};
    std::copy_n("Ed", 2, bytes.begin());
    std::copy_n("B2", 2, bytes.begin() + kChecksumAlgorithmAt);
    std::copy(key.id.begin(), key.id.end(), bytes.begin() + kKeyIdAt);
    std::copy(key.key.begin(), key.key.end(), bytes.begin() + kKeyAt);
    const Checksum sum = checksumOf(key);
    std::copy(sum.begin(), sum.end(), bytes.begin() + kChecksumAt);
    std::string text = "untrusted comment: minisign secret key " + keyIdText(key.id) +
                       " (no password; keep this file secret)\n" + toBase64(bytes) + "\n";
    sodium_memzero(bytes.data(), bytes.size());
    return text;
}

}  // namespace gd

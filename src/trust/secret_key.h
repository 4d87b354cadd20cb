// A publisher's secret key in minisign's secret key file: an untrusted
// comment line and one base64 line of the algorithm "Ed", the key derivation
// ("\0\0" for a key without password; "Sc", scrypt, for one with), the
// checksum algorithm "B2", the derivation's salt and limits, the key id, the
// 64-byte Ed25519 secret key and a BLAKE2b-256 checksum. Only keys without a
// password are read here (`gdtool keygen`, `minisign -G -W`).
#pragma once

#include "trust/public_key.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

struct SecretKey {
    KeyId id{};
    std::array<std::uint8_t, 64> key{};  // the Ed25519 seed followed by the public key

    PublicKey publicKey() const;
};

// The key of a secret key file; nullopt with `problem` set (in plain words)
// for a file with a password, a damaged one or anything else.
std::optional<SecretKey> parseSecretKeyFile(std::string_view text, std::string& problem);
// Whether `text` is a minisign secret key file or its key line, with or
// without a password: something to refuse by name wherever a public key is
// expected, since it must never be published.
bool isSecretKeyFile(std::string_view text);
// A secret key file without password that minisign reads too.
std::string formatSecretKeyFile(const SecretKey& key);

}  // namespace gd

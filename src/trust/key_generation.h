// Making a publisher's key pair, in minisign's file formats.
#pragma once

#include "trust/secret_key.h"

#include <filesystem>
#include <optional>
#include <string>

namespace gd {

// A new Ed25519 key pair with a random key id; nullopt when libsodium cannot be used.
std::optional<SecretKey> generateSecretKey();

// Writes a new key pair: the public key file at `publicPath` and the secret
// key file (without password, mode 0600) at `secretPath`. Neither file may
// exist beforehand; nothing is overwritten, and a failure leaves neither
// file behind. Returns the public key; nullopt with `problem` set in plain words.
std::optional<PublicKey> writeNewKeyPair(const std::filesystem::path& publicPath,
                                         const std::filesystem::path& secretPath,
                                         std::string& problem);

}  // namespace gd

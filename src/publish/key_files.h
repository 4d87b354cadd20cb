// The publisher's key files, and the small files beside what is published
// (signatures, keys), read without ever blocking on what is not a file.
#pragma once

#include "trust/public_key.h"
#include "trust/secret_key.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace gd::publish {

// Key and signature files are small: at most `limit` bytes are read, one more
// to tell a longer file. nullopt when the file cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit);

// A minisign secret key without password; nullopt with `problem` set.
std::optional<gd::SecretKey> readSecretKey(const std::filesystem::path& path, std::string& problem);
// A minisign public key file; nullopt with `problem` set.
std::optional<gd::PublicKey> readPublicKey(const std::filesystem::path& path, std::string& problem);

}  // namespace gd::publish

// The publisher's key files, and the files beside what is published
// (signatures, keys, the list, the record), read without ever blocking on
// what is not a file: whoever can write the server folder can put a FIFO
// there, and a publisher's command must not wait on it for ever.
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

// Far above any list, record or tree listing a release writes.
inline constexpr std::size_t kServerFileLimit = 64 * 1024 * 1024;
// A whole file of the server folder or of the publisher's own data; nullopt
// when it is missing, not a regular file, unreadable or longer than `limit`.
std::optional<std::string> readServerFile(const std::filesystem::path& path,
                                          std::size_t limit = kServerFileLimit);

// A minisign secret key without password; nullopt with `problem` set.
std::optional<gd::SecretKey> readSecretKey(const std::filesystem::path& path, std::string& problem);
// A minisign public key file; nullopt with `problem` set.
std::optional<gd::PublicKey> readPublicKey(const std::filesystem::path& path, std::string& problem);

}  // namespace gd::publish

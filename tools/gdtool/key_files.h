// The publisher's key files and signature lifetimes as gdtool's commands take
// them from the command line.
#pragma once

#include "trust/public_key.h"
#include "trust/secret_key.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace gdtool {

// Key and signature files are small: at most `limit` bytes are read, one more
// to tell a longer file. nullopt when the file cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit);

// A minisign secret key without password; nullopt with `problem` set.
std::optional<gd::SecretKey> readSecretKey(const std::filesystem::path& path, std::string& problem);
// A minisign public key file; nullopt with `problem` set.
std::optional<gd::PublicKey> readPublicKey(const std::filesystem::path& path, std::string& problem);

// --expires DAYS: a whole number of days from 1 to 36500.
std::optional<int> parseValidDays(const std::string& text);
inline constexpr const char* kValidDaysProblem = "--expires needs a number of days from 1 to 36500";

}  // namespace gdtool

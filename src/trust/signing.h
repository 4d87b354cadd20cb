// Signing files for the update server, as `gdtool sign` does: minisign's
// default algorithm (over the BLAKE2b-512 hash of the file) and a trusted
// comment that names the file and, where the launcher needs it, when the
// signature expires.
#pragma once

#include "trust/content_hash.h"
#include "trust/secret_key.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace gd {

// How long a signature of the version list lasts unless told otherwise.
inline constexpr int kVersionListValidDays = 30;

// When a signature of `fileName` made `now` expires: `days` later when given;
// otherwise kVersionListValidDays later for the version list and never for
// any other file.
std::optional<std::int64_t> expiryFor(std::string_view fileName, std::optional<int> days,
                                      std::int64_t now);

// The signature file for the content, with `trustedComment` (one line);
// nullopt when libsodium cannot be used or the file cannot be read.
std::optional<std::string> signContent(const SecretKey& key, std::string_view bytes,
                                       std::string_view trustedComment);
std::optional<std::string> signFile(const SecretKey& key, const std::filesystem::path& file,
                                    std::string_view trustedComment);
// The same for content whose hash (hashContent, hashDescriptor) the caller
// took itself, so that what is signed is what it checked.
std::string signHash(const SecretKey& key, const ContentHash& hash,
                     std::string_view trustedComment);

// Writes FILE.minisig beside `file` (replacing one that is there in one
// step), signed for file=<its name> and the expiry of expiryFor, and for the
// version list, bound to `folders` (see trusted_comment.h). False with
// `problem` set in plain words; an older signature file then stays.
bool writeSignatureFor(const std::filesystem::path& file, const SecretKey& key,
                       std::optional<int> days, std::int64_t now, std::string& problem,
                       std::span<const std::string> folders = {});

}  // namespace gd

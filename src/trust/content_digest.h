// What a release records of a file it publishes or rebuilds, so that the file
// can be recognised later: the first 32 bytes of its BLAKE2b-512 (the hash a
// signature signs), written as 44 characters of standard base64.
#pragma once

#include "trust/content_hash.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

using ContentDigest = std::array<std::uint8_t, 32>;

ContentDigest digestOf(const ContentHash& hash);
std::string digestText(const ContentDigest& digest);
// nullopt unless `text` is exactly a digest's text.
std::optional<ContentDigest> parseDigest(std::string_view text);
// The digest of a file's content; nullopt when it cannot be read.
std::optional<ContentDigest> digestFile(const std::filesystem::path& path);

}  // namespace gd

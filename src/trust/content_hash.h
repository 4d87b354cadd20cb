// BLAKE2b-512, the hash that minisign's default algorithm signs.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace gd {

using ContentHash = std::array<std::uint8_t, 64>;

std::optional<ContentHash> hashContent(std::string_view bytes);
// Reads the file in pieces, so that its size costs no memory; nullopt when
// it cannot be read.
std::optional<ContentHash> hashFile(const std::filesystem::path& path);

}  // namespace gd

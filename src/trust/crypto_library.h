// libsodium, through which every key, hash and signature operation goes, and
// the base64 of minisign's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

// Initialises libsodium once, whichever thread comes first. False when the
// library cannot be used; every caller then refuses what it was asked.
bool cryptoReady();

// Standard base64 with padding, as minisign writes it.
std::string toBase64(std::span<const std::uint8_t> bytes);
// The bytes of `text` when it is exactly `size` bytes in standard base64 with
// nothing around it; nullopt otherwise.
std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text, std::size_t size);

}  // namespace gd

// A publisher's public key as minisign writes it: one base64 line starting
// with "RW" that holds the algorithm "Ed", an 8-byte key id and the 32-byte
// Ed25519 key; in a .pub file it stands below an untrusted comment.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
    KeyId id{};
    std::array<std::uint8_t, 32> key{};
    bool operator==(const PublicKey&) const = default;
};

// The key of one base64 line; nullopt for anything else, blanks included.
std::optional<PublicKey> parsePublicKey(std::string_view line);
// The key of a minisign .pub file: an optional "untrusted comment:" line and
// the key line, each ended by a line break or the end of the text.
std::optional<PublicKey> parsePublicKeyFile(std::string_view text);

// The base64 line of the key ("RW...").
std::string encodePublicKey(const PublicKey& key);
// A .pub file that minisign reads: the comment line with the key id and the key line.
std::string formatPublicKeyFile(const PublicKey& key);

// The key id as minisign shows it: the id read as a little-endian number, in
// upper-case hexadecimal without leading zeros.
std::string keyIdText(const KeyId& id);

}  // namespace gd

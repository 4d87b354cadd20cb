// The minisign signature file, NAME.minisig beside the file NAME it signs:
//
//   untrusted comment: <free text>
//   <base64: algorithm (2 bytes), key id (8), signature (64)>
//   trusted comment: <text>
//   <base64: global signature (64) of the signature followed by the trusted comment>
//
// The algorithm is "ED" (minisign's default: the signature is over the
// BLAKE2b-512 hash of the file) or "Ed" (the legacy one: over the file itself).
#pragma once

#include "trust/public_key.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

// A signature file longer than this is refused without being read further.
inline constexpr std::size_t kSignatureFileLimit = 4096;
inline constexpr std::string_view kSignatureSuffix = ".minisig";

enum class SignatureAlgorithm {
    Prehashed,  // "ED"
    Legacy,     // "Ed"
};

using Signature = std::array<std::uint8_t, 64>;

struct SignatureFile {
    SignatureAlgorithm algorithm = SignatureAlgorithm::Prehashed;
    KeyId keyId{};
    Signature signature{};
    std::string untrustedComment;  // without "untrusted comment: "
    std::string trustedComment;    // without "trusted comment: "
    Signature globalSignature{};
};

// The four lines, each ended by "\n" (the last may end the text instead);
// carriage returns at the end of a line are no part of it. nullopt for
// anything else, an unknown algorithm included.
std::optional<SignatureFile> parseSignatureFile(std::string_view text);
// The text of the file, four lines ended by "\n".
std::string formatSignatureFile(const SignatureFile& file);

// What the global signature signs: the signature, then the trusted comment.
std::string globallySignedBytes(const SignatureFile& file);

}  // namespace gd

#include "script/script_cipher.h"

#include <nettle/arcfour.h>
#include <nettle/md5.h>

#include <array>
#include <cstdint>

namespace gd {

namespace {

// The base provider keeps 5 bytes of the digest for a 40-bit RC4 key and pads
// it with an 11-byte zero salt, which makes the effective key 16 bytes long.
constexpr std::size_t kKeyBytes = 5;
constexpr std::size_t kRc4KeyLength = 16;

std::array<std::uint8_t, kRc4KeyLength> deriveKey(std::string_view password) {
    md5_ctx hash;
    md5_init(&hash);
    md5_update(&hash, password.size(), reinterpret_cast<const std::uint8_t*>(password.data()));
    std::array<std::uint8_t, MD5_DIGEST_SIZE> digest{};
    md5_digest(&hash, digest.size(), digest.data());

    std::array<std::uint8_t, kRc4KeyLength> key{};
    for (std::size_t i = 0; i < kKeyBytes; ++i) key[i] = digest[i];
    return key;
}

// RC4 is its own inverse.
void transform(char* buffer, std::size_t length, std::string_view password) {
    if (length == 0) return;
    const auto key = deriveKey(password);
    arcfour_ctx rc4;
    arcfour_set_key(&rc4, key.size(), key.data());
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer);
    arcfour_crypt(&rc4, length, bytes, bytes);
}

}  // namespace

void ScriptCipher::encrypt(char* buffer, std::size_t length, std::string_view password) {
    transform(buffer, length, password);
}

void ScriptCipher::decrypt(char* buffer, std::size_t length, std::string_view password) {
    transform(buffer, length, password);
}

}  // namespace gd

// RC4 cipher shared by every script file of an installation (config.dat,
// version.dat, filelist.dat, update.dat).
#pragma once

#include <cstddef>
#include <string_view>

namespace gd {

// The one password under which every script file is enciphered.
inline constexpr std::string_view scriptPassword = "Vq3LmT8wXe1RbN7k";

// The key is derived exactly as the installed base of files expects: the RC4
// key is the first 5 bytes of MD5(password) followed by 11 zero bytes (a
// 40-bit key with the provider's default salt). Each call starts a fresh key
// stream, so a buffer is always enciphered as one piece from its first byte
// and keeps its length. RC4 is its own inverse: encrypt and decrypt are the
// same transformation.
// Both transform `length` bytes of `buffer` in place; no step can fail.
class ScriptCipher {
  public:
    static void encrypt(char* buffer, std::size_t length,
                        std::string_view password = scriptPassword);
    static void decrypt(char* buffer, std::size_t length,
                        std::string_view password = scriptPassword);
};

}  // namespace gd

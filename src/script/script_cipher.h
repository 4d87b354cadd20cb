// RC4 cipher shared by every script file of an installation (config.dat,
// version.dat, filelist.dat, update.dat).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gd {

// The one password under which every script file is enciphered.
inline constexpr std::string_view scriptPassword = "Vq3LmT8wXe1RbN7k";

// Names the first step of the transformation that failed.
enum class CipherStatus : std::uint8_t {
    ok = 0,
    acquireFailed = 1,
    hashCreateFailed = 2,
    hashDataFailed = 3,
    deriveFailed = 4,
    cryptFailed = 5,
};

// The key is derived exactly as the installed base of files expects: the RC4
// key is the first 5 bytes of MD5(password) followed by 11 zero bytes (a
// 40-bit key with the provider's default salt). Each call starts a fresh key
// stream, so a buffer is always enciphered as one piece from its first byte
// and keeps its length. RC4 is its own inverse: encrypt and decrypt are the
// same transformation.
class ScriptCipher {
  public:
    static CipherStatus encrypt(char* buffer, std::size_t length,
                                std::string_view password = scriptPassword);
    static CipherStatus decrypt(char* buffer, std::size_t length,
                                std::string_view password = scriptPassword);
    // Transforms `length` bytes of `buffer` in place. With nettle no step can
    // fail, so the result is always ok; the codes stay for callers that log them.
    static CipherStatus transform(char* buffer, std::size_t length, std::string_view password,
                                  bool encrypt);
};

}  // namespace gd

#include "trust/crypto_library.h"

#include <sodium.h>

namespace gd {

bool cryptoReady() {
    // sodium_init is itself safe to call from several threads; the static
    // keeps the answer.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string toBase64(std::span<const std::uint8_t> bytes) {
    const std::size_t length =
        sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    std::string text(length, '\0');
    sodium_bin2base64(text.data(), length, bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(length - 1);  // the terminating zero
    return text;
}

std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text, std::size_t size) {
    if (!cryptoReady()) return std::nullopt;
    std::vector<std::uint8_t> bytes(size + 1);
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &decoded,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || decoded != size) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace gd

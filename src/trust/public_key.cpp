#include "trust/public_key.h"

#include "trust/crypto_library.h"

#include <algorithm>

namespace gd {
namespace {

constexpr std::string_view kAlgorithm = "Ed";
constexpr std::size_t kEncodedSize = 2 + 8 + 32;
constexpr std::string_view kCommentPrefix = "untrusted comment:";

// The next line of `text` without its "\n" or "\r\n"; advances `text`.
std::string_view takeLine(std::string_view& text) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

}  // namespace

std::optional<PublicKey> parsePublicKey(std::string_view line) {
    const auto bytes = fromBase64(line, kEncodedSize);
    if (!bytes || !std::equal(kAlgorithm.begin(), kAlgorithm.end(), bytes->begin())) {
        return std::nullopt;
    }
    PublicKey key;
    std::copy_n(bytes->begin() + 2, key.id.size(), key.id.begin());
    std::copy_n(bytes->begin() + 2 + key.id.size(), key.key.size(), key.key.begin());
    return key;
}

std::optional<PublicKey> parsePublicKeyFile(std::string_view text) {
    // Blank lines at the end are what an editor leaves; they mean nothing.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    std::string_view line = takeLine(text);
    if (line.starts_with(kCommentPrefix)) line = takeLine(text);
    if (!text.empty()) return std::nullopt;
    return parsePublicKey(line);
}

std::string encodePublicKey(const PublicKey& key) {
    std::array<std::uint8_t, kEncodedSize> bytes{};
    std::copy(kAlgorithm.begin(), kAlgorithm.end(), bytes.begin());
    std::copy(key.id.begin(), key.id.end(), bytes.begin() + 2);
    std::copy(key.key.begin(), key.key.end(), bytes.begin() + 2 + key.id.size());
    return toBase64(bytes);
}

std::string formatPublicKeyFile(const PublicKey& key) {
    return "untrusted comment: minisign public key " + keyIdText(key.id) + "\n" +
           encodePublicKey(key) + "\n";
}

std::string keyIdText(const KeyId& id) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        text += kDigits[*byte >> 4];
        text += kDigits[*byte & 0xF];
    }
    const auto first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}

}  // namespace gd

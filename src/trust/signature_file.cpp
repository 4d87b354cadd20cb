#include "trust/signature_file.h"

#include "trust/crypto_library.h"

#include <algorithm>

namespace gd {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kPrehashed = "ED";
constexpr std::string_view kLegacy = "Ed";
constexpr std::size_t kSignatureLineSize = 2 + 8 + 64;

// The next line without its line break; nullopt when the text has ended.
// Carriage returns at the end go too, as minisign drops them.
std::optional<std::string_view> takeLine(std::string_view& text) {
    if (text.empty()) return std::nullopt;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

std::optional<std::string_view> afterPrefix(std::optional<std::string_view> line,
                                            std::string_view prefix) {
    if (!line || !line->starts_with(prefix)) return std::nullopt;
    return line->substr(prefix.size());
}

bool readSignatureLine(std::string_view line, SignatureFile& file) {
    const auto bytes = fromBase64(line, kSignatureLineSize);
    if (!bytes) return false;
    const std::string_view algorithm(reinterpret_cast<const char*>(bytes->data()), 2);
    if (algorithm == kPrehashed) {
        file.algorithm = SignatureAlgorithm::Prehashed;
    } else if (algorithm == kLegacy) {
        file.algorithm = SignatureAlgorithm::Legacy;
    } else {
        return false;
    }
    std::copy_n(bytes->begin() + 2, file.keyId.size(), file.keyId.begin());
    std::copy_n(bytes->begin() + 2 + file.keyId.size(), file.signature.size(),
                file.signature.begin());
    return true;
}

}  // namespace

std::optional<SignatureFile> parseSignatureFile(std::string_view text) {
    SignatureFile file;
    const auto untrusted = afterPrefix(takeLine(text), kUntrustedPrefix);
    const auto signatureLine = takeLine(text);
    const auto trusted = afterPrefix(takeLine(text), kTrustedPrefix);
    const auto globalLine = takeLine(text);
    if (!untrusted || !signatureLine || !trusted || !globalLine || !text.empty()) {
        return std::nullopt;
    }
    if (!readSignatureLine(*signatureLine, file)) return std::nullopt;
    const auto global = fromBase64(*globalLine, file.globalSignature.size());
    if (!global) return std::nullopt;
    std::copy(global->begin(), global->end(), file.globalSignature.begin());
    file.untrustedComment = std::string(*untrusted);
    file.trustedComment = std::string(*trusted);
    return file;
}

std::string formatSignatureFile(const SignatureFile& file) {
    std::array<std::uint8_t, kSignatureLineSize> line{};
    const std::string_view algorithm =
        file.algorithm == SignatureAlgorithm::Prehashed ? kPrehashed : kLegacy;
    std::copy(algorithm.begin(), algorithm.end(), line.begin());
    std::copy(file.keyId.begin(), file.keyId.end(), line.begin() + 2);
    std::copy(file.signature.begin(), file.signature.end(), line.begin() + 2 + file.keyId.size());
    return std::string(kUntrustedPrefix) + file.untrustedComment + "\n" + toBase64(line) + "\n" +
           std::string(kTrustedPrefix) + file.trustedComment + "\n" +
           toBase64(file.globalSignature) + "\n";
}

std::string globallySignedBytes(const SignatureFile& file) {
    std::string bytes(file.signature.begin(), file.signature.end());
    return bytes + file.trustedComment;
}

}  // namespace gd

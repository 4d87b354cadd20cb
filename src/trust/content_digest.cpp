#include "trust/content_digest.h"

#include "trust/crypto_library.h"

#include <algorithm>

namespace gd {

ContentDigest digestOf(const ContentHash& hash) {
    ContentDigest digest{};
    std::copy_n(hash.begin(), digest.size(), digest.begin());
    return digest;
}

std::string digestText(const ContentDigest& digest) {
    return toBase64(digest);
}

std::optional<ContentDigest> parseDigest(std::string_view text) {
    const auto bytes = fromBase64(text, ContentDigest{}.size());
    if (!bytes) return std::nullopt;
    ContentDigest digest{};
    std::copy(bytes->begin(), bytes->end(), digest.begin());
    return digest;
}

std::optional<ContentDigest> digestFile(const std::filesystem::path& path) {
    const auto hash = hashFile(path);
    if (!hash) return std::nullopt;
    return digestOf(*hash);
}

}  // namespace gd

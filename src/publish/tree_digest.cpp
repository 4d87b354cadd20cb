#include "publish/tree_digest.h"

#include "publish/tree_diff.h"

#include "trust/content_hash.h"

#include <string_view>

namespace gd::publish {

namespace {

std::string hexText(const gd::ContentHash& hash) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : hash) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xf];
    }
    return text;
}

std::string escapedPath(std::string_view path) {
    std::string text;
    for (const char c : path) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\r')
            text += "\\r";
        else
            text += c;
    }
    return text;
}

std::optional<std::string> unescapedPath(std::string_view text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            path += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        if (text[i] == '\\')
            path += '\\';
        else if (text[i] == 'n')
            path += '\n';
        else if (text[i] == 'r')
            path += '\r';
        else
            return std::nullopt;
    }
    return path;
}

// "d", or "f"/"x" and the hash: the two fields in front of the path.
bool plausibleEntry(std::string_view entry) {
    if (entry == "d") return true;
    return entry.size() == 2 + 2 * gd::ContentHash{}.size() &&
           (entry.starts_with("f ") || entry.starts_with("x "));
}

}  // namespace

std::optional<TreeListing> listTree(const std::filesystem::path& root, const TreeScan& scan,
                                    std::string& error, const TreeListing& known,
                                    const std::set<std::string>& sameAsKnown) {
    TreeListing listing;
    for (const auto& [path, entry] : scan) {
        if (path == kVersionFileName) continue;
        if (entry.folder) {
            listing[path] = "d";
            continue;
        }
        if (const auto same = known.find(path); same != known.end() && sameAsKnown.contains(path)) {
            listing[path] = same->second;
            continue;
        }
        const auto hash = gd::hashFile(root / path);
        if (!hash) {
            error = "cannot read " + (root / path).string();
            return std::nullopt;
        }
        listing[path] = std::string(entry.executable ? "x " : "f ") + hexText(*hash);
    }
    return listing;
}

std::string listingText(const TreeListing& listing) {
    std::string text;
    for (const auto& [path, entry] : listing) text += entry + " " + escapedPath(path) + "\n";
    return text;
}

std::optional<TreeListing> parseListing(std::string_view text) {
    TreeListing listing;
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.starts_with('#')) continue;
        const auto split = line.starts_with("d ") ? 1 : line.find(' ', 2);
        if (split == std::string_view::npos || !plausibleEntry(line.substr(0, split)))
            return std::nullopt;
        const auto path = unescapedPath(line.substr(split + 1));
        if (!path || path->empty()) return std::nullopt;
        listing[*path] = std::string(line.substr(0, split));
    }
    return listing;
}

std::string listingDigest(const TreeListing& listing) {
    const auto hash = gd::hashContent(listingText(listing));
    return hash ? hexText(*hash) : std::string();
}

std::vector<std::string> listingDifferences(const TreeListing& recorded, const TreeListing& found,
                                            std::size_t limit) {
    std::vector<std::string> lines;
    std::size_t count = 0;
    const auto note = [&](const char* what, const std::string& path) {
        if (++count <= limit) lines.push_back(what + path);
    };
    for (const auto& [path, entry] : recorded) {
        const auto other = found.find(path);
        if (other == found.end())
            note("missing ", path);
        else if (other->second != entry)
            note("changed ", path);
    }
    for (const auto& [path, entry] : found)
        if (!recorded.contains(path)) note("unexpected ", path);
    if (count > limit) lines.push_back("... and " + std::to_string(count - limit) + " more");
    return lines;
}

}  // namespace gd::publish

#include "util/safe_path.h"

#include "util/text_encoding.h"

#include <vector>

namespace gd {

std::filesystem::path directoryOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

std::string directoryText(std::string directory) {
    if (directory.empty() || directory.back() != '/') directory += '/';
    return directory;
}

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

bool hasDriveLetter(std::string_view path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// Appends the components of `path` to `parts`; false when ".." climbs above
// what `parts` holds.
bool walkComponents(std::string_view path, std::vector<std::string_view>& parts) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

std::optional<TreePath> placeInside(const std::string& baseDir, std::string_view relative,
                                    std::string_view from) {
    const auto text = installTextToUtf8(relative);
    if (!text) return std::nullopt;
    std::string_view path = *text;
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    while (!path.empty() && isSeparator(path.front())) path.remove_prefix(1);
    if (hasDriveLetter(path)) return std::nullopt;

    std::vector<std::string_view> parts;
    if (!walkComponents(from, parts) || !walkComponents(path, parts)) return std::nullopt;

    TreePath placed{baseDir, {}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) placed.relative += '/';
        placed.relative += parts[i];
    }
    return placed;
}

std::optional<std::string> joinInside(const std::string& baseDir, std::string_view relative) {
    const auto placed = placeInside(baseDir, relative);
    if (!placed) return std::nullopt;
    return placed->full();
}

}  // namespace gd

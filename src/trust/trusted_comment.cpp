#include "trust/trusted_comment.h"

#include "util/percent_encoding.h"

#include <charconv>

namespace gd {
namespace {

constexpr std::string_view kFolderToken = "folder=";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

void keep(std::optional<std::string>& field, std::string_view value, bool& repeated) {
    if (field) repeated = true;
    field = std::string(value);
}

std::optional<std::string> decodedFolder(std::string_view text) {
    const auto folder = percentDecoded(text);
    if (!folder) return std::nullopt;
    return boundFolder(*folder);
}

}  // namespace

TrustedComment readTrustedComment(std::string_view text) {
    TrustedComment comment;
    while (!text.empty()) {
        while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
        std::size_t end = 0;
        while (end < text.size() && !isBlank(text[end])) ++end;
        const std::string_view token = text.substr(0, end);
        text.remove_prefix(end);
        if (token.starts_with("file=")) keep(comment.file, token.substr(5), comment.repeated);
        if (token.starts_with("expires=")) {
            keep(comment.expires, token.substr(8), comment.repeated);
        }
        if (token.starts_with(kFolderToken)) {
            if (auto folder = decodedFolder(token.substr(kFolderToken.size()))) {
                comment.folders.push_back(std::move(*folder));
            } else {
                comment.unreadableFolder = true;
            }
        }
    }
    return comment;
}

std::string makeTrustedComment(std::string_view fileName, std::optional<std::int64_t> expires,
                               std::int64_t now, std::span<const std::string> folders) {
    std::string text = "timestamp=" + std::to_string(now) + " file=" + std::string(fileName);
    if (expires) text += " expires=" + std::to_string(*expires);
    for (const std::string& folder : folders)
        text += " " + std::string(kFolderToken) + percentEncoded(boundFolder(folder));
    return text;
}

std::string boundFolder(std::string_view ftpPath) {
    std::string folder;
    while (!ftpPath.empty()) {
        const auto slash = ftpPath.find('/');
        const std::string_view part = ftpPath.substr(0, slash);
        if (!part.empty()) folder += "/" + std::string(part);
        if (slash == std::string_view::npos) break;
        ftpPath.remove_prefix(slash + 1);
    }
    return folder.empty() ? "/" : folder;
}

std::optional<std::int64_t> parseUnixTime(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isSignableName(std::string_view name) {
    if (name.empty()) return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f || c == '/') {
            return false;
        }
    }
    return true;
}

}  // namespace gd

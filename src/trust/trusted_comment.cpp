#include "trust/trusted_comment.h"

#include <charconv>

namespace gd {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

void keep(std::optional<std::string>& field, std::string_view value, bool& repeated) {
    if (field) repeated = true;
    field = std::string(value);
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
    }
    return comment;
}

std::string makeTrustedComment(std::string_view fileName, std::optional<std::int64_t> expires,
                               std::int64_t now) {
    std::string text = "timestamp=" + std::to_string(now) + " file=" + std::string(fileName);
    if (expires) text += " expires=" + std::to_string(*expires);
    return text;
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

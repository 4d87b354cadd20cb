#include "key_files.h"

#include <charconv>
#include <fstream>

namespace gdtool {

namespace {

constexpr std::size_t kKeyFileLimit = 4096;
constexpr int kMaxValidDays = 36500;

}  // namespace

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(limit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::optional<gd::SecretKey> readSecretKey(const std::filesystem::path& path,
                                           std::string& problem) {
    const auto text = readSmallFile(path, kKeyFileLimit);
    if (!text) {
        problem = "cannot read " + path.string();
        return std::nullopt;
    }
    auto key = gd::parseSecretKeyFile(*text, problem);
    if (!key) problem = path.string() + ": " + problem;
    return key;
}

std::optional<gd::PublicKey> readPublicKey(const std::filesystem::path& path,
                                           std::string& problem) {
    const auto text = readSmallFile(path, kKeyFileLimit);
    if (!text) {
        problem = "cannot read " + path.string();
        return std::nullopt;
    }
    auto key = gd::parsePublicKeyFile(*text);
    if (key) return key;
    problem = gd::isSecretKeyFile(*text)
                  ? path.string() + " is a minisign secret key; give the public key (.pub)"
                  : path.string() + " is no minisign public key";
    return std::nullopt;
}

std::optional<int> parseValidDays(const std::string& text) {
    int days = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
    if (error != std::errc{} || end != text.data() + text.size() || days < 1 ||
        days > kMaxValidDays) {
        return std::nullopt;
    }
    return days;
}

}  // namespace gdtool

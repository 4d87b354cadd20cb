#include "arguments.h"

#include <algorithm>
#include <charconv>

namespace gdtool {

namespace {

constexpr int kMaxValidDays = 36500;

}  // namespace

bool takeFlag(std::vector<std::string>& args, std::string_view flag) {
    const auto end = std::remove(args.begin(), args.end(), flag);
    const bool found = end != args.end();
    args.erase(end, args.end());
    return found;
}

bool takeOption(std::vector<std::string>& args, std::string_view option,
                std::optional<std::string>& value) {
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] != option) {
            ++i;
            continue;
        }
        if (i + 1 == args.size()) return false;
        value = args[i + 1];
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    }
    return true;
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

std::optional<int> parsePercent(const std::string& text) {
    int percent = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), percent);
    if (error != std::errc{} || end != text.data() + text.size() || percent < 0 || percent > 100)
        return std::nullopt;
    return percent;
}

}  // namespace gdtool

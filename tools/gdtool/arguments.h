// What several commands take from their arguments alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gdtool {

// Removes every `flag` from `args`; whether there was one.
bool takeFlag(std::vector<std::string>& args, std::string_view flag);

// Removes every `option VALUE` from `args`, the last VALUE into `value`;
// false when `option` ends `args` without its value.
bool takeOption(std::vector<std::string>& args, std::string_view option,
                std::optional<std::string>& value);

// --expires DAYS: a whole number of days from 1 to 36500.
std::optional<int> parseValidDays(const std::string& text);
// A share of the installations: a whole number from 0 to 100.
std::optional<int> parsePercent(const std::string& text);

inline constexpr const char* kValidDaysProblem = "--expires needs a number of days from 1 to 36500";

}  // namespace gdtool

// gdtool's help: the whole usage for --help, and one command's part of it
// for `gdtool COMMAND --help`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gdtool {

// Every command, the exit codes and the environment.
std::string usageText();

// The usage of `command` alone, with its exit codes and an example where it
// has them; nullopt for a command gdtool does not know.
std::optional<std::string> commandHelp(std::string_view command);

// The first of `args` that looks like an option (a dash and more, not a
// number) and that the synopsis of `command` does not name, skipping the
// value after each named option that takes one; nullopt when there is none
// or gdtool does not know the command.
std::optional<std::string> unknownOption(std::string_view command,
                                         const std::vector<std::string>& args);

}  // namespace gdtool

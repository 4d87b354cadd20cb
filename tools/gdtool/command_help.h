// gdtool's help: the whole usage for --help, and one command's part of it
// for `gdtool COMMAND --help`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gdtool {

// Every command, the exit codes and the environment.
std::string usageText();

// The usage of `command` alone; nullopt for a command gdtool does not know.
std::optional<std::string> commandHelp(std::string_view command);

}  // namespace gdtool

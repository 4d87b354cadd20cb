// The installer's key "GrooveDeck": the registry on Windows, INI files under
// $XDG_CONFIG_HOME (user scope) and the first of $XDG_CONFIG_DIRS (system
// scope) on Linux, all through QSettings' native format.
#pragma once

#include <optional>
#include <string>

namespace gd {

enum class RegistryScope { User, System };

// Whether the key of that scope exists and can be read.
bool registryKeyExists(RegistryScope scope);

// The string value `name` of the key; nullopt when the value is absent.
std::optional<std::string> readRegistryValue(RegistryScope scope, const char* name);

// Writes the string value and flushes it; false when it could not be stored
// (no right to change the system key, for example).
bool writeRegistryValue(RegistryScope scope, const char* name, const std::string& value);

// The user's account identifier for the news request: the user scope's value
// AccountId, byte for byte, or empty when there is none.
std::string readAccountId();

}  // namespace gd

// Who an installation is among those that a staged release may reach, kept
// in the user's settings beside the installer's key (an INI file under
// $XDG_CONFIG_HOME on Linux, the registry on Windows): one group per
// installation folder, so that a copy in another folder is another
// installation and draws its own number.
#pragma once

#include <optional>
#include <string>

namespace gd {

// The installation's own number, 0..99: drawn once, at the first call for
// its folder, and kept. nullopt when it cannot be kept: a number drawn anew
// at every start would reach more installations than the share says.
std::optional<int> installationNumber(const std::string& launcherDir);

// The channel the installation opted into; empty for none.
std::string installationChannel(const std::string& launcherDir);

// Opts the installation into `channel`, or out of any with an empty one.
// False when the settings cannot be written.
bool setInstallationChannel(const std::string& launcherDir, const std::string& channel);

// Where the values are kept, for messages.
std::string audienceSettingsFile();

}  // namespace gd

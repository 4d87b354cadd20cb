// What one installation is offered of a list whose rules stage releases,
// keep them to a channel or bridge from them: the chain of general releases
// that the list's Lua part gives everyone, and beside it the staged and
// channel releases this installation's number and channel let it take, with
// the bridges that lead off them.
#pragma once

#include "script/audience.h"
#include "script/version_manifest.h"

#include <string>

namespace gd {

// Replaces the manifest's entries (the chain above `installed`, as
// runVersionScript listed them) with this installation's way, as entries the
// update worker applies in order: up to the highest of the chain's last
// version and every offered staged version, each step the highest bridge
// from where it is to a version on the way, else the higher of the chain's
// next release and an offered release staged from there. From a staged or
// channel version the chain's archives (made from the general releases'
// trees) are no way on: only bridges and releases staged from it are. Sets
// the manifest's withheld version. Returns the version the way ends at (0
// when there is none), or `listed` unchanged for a list without stage and
// bridge rules, whose chain stays as it was.
float offerToAudience(VersionManifest& manifest, const Audience& audience, float installed,
                      float listed);

// Why `withheld` is not offered to the installation of `audience`, in plain
// words, as gdtool and the window's log say it.
std::string withheldText(const WithheldVersion& withheld, const Audience& audience);

}  // namespace gd

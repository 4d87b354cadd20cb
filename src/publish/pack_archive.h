// A patch archive packed by hand: every file under a folder, and an update
// script of the publisher's own enciphered as update.dat at the root.
#pragma once

#include "publish/publish_failure.h"

#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

// Writes the archive at `out`. A folder that holds what an update cannot
// carry (links, FIFOs, devices) or what cannot be read is refused with one
// line per file in `problems`, as a release refuses them.
Failure packArchive(const std::filesystem::path& out, const std::filesystem::path& script,
                    const std::filesystem::path& dir, std::vector<std::string>& problems);

}  // namespace gd::publish

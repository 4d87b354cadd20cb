// The names in a directory, read through its open descriptor.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace gd {

// Every name in the open directory `directoryFd` but "." and "..", in the
// order the file system gives them; nullopt when it cannot be read.
std::optional<std::vector<std::string>> entryNames(int directoryFd);

}  // namespace gd

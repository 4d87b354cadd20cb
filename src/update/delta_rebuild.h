// Rebuilding the files of a delta archive: once the archive has arrived
// whole (and, signed, verified) and is unpacked, the files of its delta pack
// are made from the installed files they replace, each checked against the
// digest that the release recorded, into the unpacked archive, where the
// script's copies take them as they take the files an archive carries. The
// installation is only read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace gd {

struct Rebuilt {
    bool done = false;
    std::string failure;      // why not, in plain words, naming the file
    std::uint64_t bytes = 0;  // written into the unpacked archive
};

// Rebuilds into `unpackedDir` what the pack at `packPath` lists, from the
// installation at `launcherDir` (ending in '/'), writing no more than
// `limit` bytes. Not done when the pack is malformed, a base is missing, not
// a file or of another size, a result differs from its digest (the installed
// file was not the one the delta was made against), or a file cannot be
// written; what was written is then the caller's to remove with the rest of
// the unpacked archive. The pack itself is removed once its files are there.
Rebuilt rebuildFromDeltas(const std::filesystem::path& packPath,
                          const std::filesystem::path& unpackedDir, const std::string& launcherDir,
                          std::uint64_t limit);

}  // namespace gd

// Writing a delta pack (see update/delta_pack.h): the files of a release
// rebuilt from those of an older tree, grouped and compressed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

// One file the pack rebuilds.
struct DeltaSource {
    std::string target;              // its name in the archive
    std::filesystem::path newFile;   // the file as the release has it
    std::string base;                // the installed file it replaces; empty: none
    std::filesystem::path baseFile;  // that file in the older tree
    std::uint32_t mode = 0644;
};

// Writes the pack that rebuilds `sources` into `out` (created or truncated).
// Executables, large files and files without a base become binary diffs with
// LZMA2, the others zstd frames with their bases as prefix, both in groups,
// so that what several files share is compressed once. False with `error`.
bool writeDeltaPack(const std::vector<DeltaSource>& sources, const std::filesystem::path& out,
                    std::string& error);

}  // namespace gd::publish

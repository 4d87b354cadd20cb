// What a delta archive rebuilds its files from, checked before it is
// downloaded: its pack is the archive's first entry and stored, so the first
// bytes of the archive name every base (path and size), and a list that
// `gdtool release` wrote carries a digest of the bases' content beside the
// rule (script/version_rules.h). An installation whose files are not the
// ones the delta was made against then takes the whole-file archives at
// once, instead of downloading a delta that could only fail.
#pragma once

#include "trust/content_digest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

// What the first read of an archive's head asks for: the zip entry's header
// and the pack's lead with room for a small manifest.
inline constexpr std::size_t kDeltaHeadFirstRead = 4 * 1024;
// A manifest that needs more of the head than this is not checked ahead:
// the archive is downloaded as it was before.
inline constexpr std::size_t kDeltaHeadLimit = 1024 * 1024;

struct DeltaBase {
    std::string path;  // relative to the installation, '/' between folders
    std::uint64_t size = 0;
};

// What the first bytes `head` of a delta archive tell of its bases: the
// bases once `head` holds the whole pack header; otherwise how many bytes
// the head must hold for that (0: it cannot tell, the archive does not begin
// with a stored delta.pack).
struct DeltaHead {
    std::optional<std::vector<DeltaBase>> bases;
    std::uint64_t needed = 0;
    unsigned format = 0;  // of the pack, with the bases (DeltaPack::format)
};
DeltaHead readDeltaHead(std::string_view head);

// The head of the delta archive open as `archiveFd`, read with positioned
// reads, with its bases; nullopt when it does not begin with a stored
// delta.pack.
std::optional<DeltaHead> deltaHeadOf(int archiveFd);

// The digest of the bases as the tree at `treeDir` (ending in '/') holds
// them: each base's path, size and content, in the pack's order. nullopt
// when one is missing, not a file or of another size than the pack says.
std::optional<ContentDigest> basesDigest(const std::vector<DeltaBase>& bases,
                                         const std::string& treeDir);

// Why the installation at `launcherDir` cannot serve the delta's bases, in
// plain words naming the file where one can be named: a base missing, not a
// file or of another size, or (when the list gives `digest`) their content
// not the one the delta was made against. Empty when it can.
std::string basesProblem(const std::vector<DeltaBase>& bases, const std::string& launcherDir,
                         const std::optional<ContentDigest>& digest);

}  // namespace gd

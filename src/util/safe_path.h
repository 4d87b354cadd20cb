// Joining paths that come from installation data (update scripts, archive
// entries) onto a base directory without ever leaving it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

// The directory `file` is in: its parent, or "." for a bare name.
std::filesystem::path directoryOf(const std::filesystem::path& file);

// `directory` as the engine joins paths onto it: ending in '/'.
std::string directoryText(std::string directory);

// A path inside a directory tree, split where the tree begins, so that it can
// be reached from the tree's directory one component at a time.
struct TreePath {
    std::string base;      // the tree's directory, ending in '/'
    std::string relative;  // '/' between components, none "." or ".."; empty: the base itself
    std::string full() const { return base + relative; }
};

// Places `relative` below `baseDir` (which ends in '/'), starting from the
// folder `from` inside it ('/' between components; empty: the base itself).
// Both '/' and '\' separate directories; the text is CP932 unless it is
// valid UTF-8; leading separators are dropped (the path starts where the
// original's plain concatenation made it start), so are "." and empty
// components, and ".." climbs one level, up to the base. Returns nullopt
// when the path would leave the base (a ".." above it), names a drive
// ("C:"), holds a NUL or cannot be converted.
std::optional<TreePath> placeInside(const std::string& baseDir, std::string_view relative,
                                    std::string_view from = {});

// placeInside's full path: `baseDir` unchanged when the path names the base.
std::optional<std::string> joinInside(const std::string& baseDir, std::string_view relative);

}  // namespace gd

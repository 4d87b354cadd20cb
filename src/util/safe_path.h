// Joining paths that come from installation data (update scripts, archive
// entries) onto a base directory without ever leaving it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gd {

// Joins `relative` onto `baseDir` (which ends in '/'). Both '/' and '\'
// separate directories; the text is CP932 unless it is valid UTF-8; "." and
// empty components are dropped and ".." climbs one level. Returns nullopt when
// the path would leave the base (a ".." above it, a leading separator, a drive
// letter such as "C:") or cannot be converted. A path that names the base
// itself gives `baseDir` unchanged.
std::optional<std::string> joinInside(const std::string& baseDir, std::string_view relative);

}  // namespace gd

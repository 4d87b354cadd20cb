// Names that travel as one blank-separated token of a line (an archive in a
// rule of filelist.dat, an update folder in a signature's trusted comment):
// blanks, control bytes, DEL and '%' as %XX, every other byte as it is.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gd {

std::string percentEncoded(std::string_view text);

// Back; nullopt for a '%' that two hexadecimal digits do not follow.
std::optional<std::string> percentDecoded(std::string_view text);

}  // namespace gd

// What the launcher reads in a signature's trusted comment: space-separated
// key=value tokens, of which file= (the name of the signed file) and expires=
// (a moment in Unix seconds) count; every other token is ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

struct TrustedComment {
    std::optional<std::string> file;
    std::optional<std::string> expires;  // as written; see parseUnixTime
    bool repeated = false;               // file= or expires= more than once: ambiguous
};

TrustedComment readTrustedComment(std::string_view text);

// "timestamp=NOW file=NAME", and " expires=T" when given.
std::string makeTrustedComment(std::string_view fileName, std::optional<std::int64_t> expires,
                               std::int64_t now);

// A non-negative number of seconds in decimal digits only; nullopt otherwise.
std::optional<std::int64_t> parseUnixTime(std::string_view text);

// Whether a name can stand in a file= token: not empty, no blank, no
// control character and no '/'.
bool isSignableName(std::string_view name);

}  // namespace gd

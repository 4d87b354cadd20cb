// What the launcher reads in a signature's trusted comment: space-separated
// key=value tokens, of which file= (the name of the signed file), expires=
// (a moment in Unix seconds) and folder= (an update folder the signed file
// is for) count; every other token is ignored.
//
// folder= binds a version list to the installations it is for: one per
// update folder (DUREDOR_FTP_PATH) whose installations may take it, so that
// another product's or channel's list, signed with the same key, is refused
// in their folder. A signature without folder= is taken in any folder, as
// every signature made before lists were bound is.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

struct TrustedComment {
    std::optional<std::string> file;
    std::optional<std::string> expires;  // as written; see parseUnixTime
    std::vector<std::string> folders;    // as boundFolder gives them
    bool repeated = false;               // file= or expires= more than once: ambiguous
    bool unreadableFolder = false;       // a folder= whose value cannot be decoded
};

TrustedComment readTrustedComment(std::string_view text);

// "timestamp=NOW file=NAME", " expires=T" when given and one " folder=F"
// per folder (percent-encoded where a byte would end the token or the line).
std::string makeTrustedComment(std::string_view fileName, std::optional<std::int64_t> expires,
                               std::int64_t now, std::span<const std::string> folders = {});

// An update folder as a binding names it: '/' and its components, without
// empty ones, so that "/update/", "update" and "//update" are one folder, as
// the FTP server enters them from the login folder; "/" for none.
std::string boundFolder(std::string_view ftpPath);

// A non-negative number of seconds in decimal digits only; nullopt otherwise.
std::optional<std::int64_t> parseUnixTime(std::string_view text);

// Whether a name can stand in a file= token: not empty, no blank, no
// control character and no '/'.
bool isSignableName(std::string_view name);

}  // namespace gd

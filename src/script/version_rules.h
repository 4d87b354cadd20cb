// What filelist.dat offers launchers that understand more than the chain of
// whole-file archives, in Lua comments that the original launcher (and any
// Lua) skips, so that one server folder serves every launcher:
//
//   --@delta FROM TO ARCHIVE [DIGEST]
//       ARCHIVE takes an installation at version FROM straight to version
//       TO, rebuilding its files from the installed ones (a delta archive);
//   --@pin ARCHIVE DIGEST
//       a signed list's pin of an archive's content, so that a file signed
//       by the same key for another product or server cannot stand in for it;
//   --@bases ARCHIVE DIGEST
//       the digest of the installed files that the delta archive ARCHIVE is
//       rebuilt from (update/delta_bases.h), so that an installation whose
//       files are not those finds out before it downloads the archive.
//
// Versions are read as patch.File reads them; ARCHIVE is a file name with
// '%', blanks and control bytes percent-encoded; DIGEST is a ContentDigest's
// text. A line that does not parse is no rule.
#pragma once

#include "trust/content_digest.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

inline constexpr std::string_view kDeltaRulePrefix = "--@delta ";
inline constexpr std::string_view kPinRulePrefix = "--@pin ";
inline constexpr std::string_view kBasesRulePrefix = "--@bases ";

struct DeltaRule {
    float from = 0;
    float to = 0;
    std::string archive;
    std::optional<ContentDigest> digest;
    std::optional<ContentDigest> bases = std::nullopt;  // from the archive's --@bases line
};

struct VersionRules {
    std::vector<DeltaRule> deltas;
    std::map<std::string, ContentDigest> pins;  // archive -> digest

    // What the archive's content must be, when the list says.
    std::optional<ContentDigest> digestFor(const std::string& archive) const;
};

// The rules of a deciphered filelist.dat: every line that begins with one of
// the prefixes and parses.
VersionRules parseVersionRules(std::string_view text);

// ARCHIVE as a rule writes it, and back; nullopt for a malformed encoding.
std::string ruleName(std::string_view archive);
std::optional<std::string> fromRuleName(std::string_view text);

}  // namespace gd

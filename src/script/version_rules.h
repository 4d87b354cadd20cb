// What filelist.dat offers launchers that understand more than the chain of
// whole-file archives, in Lua comments that the original launcher (and any
// Lua) skips, so that one server folder serves every launcher:
//
//   --@delta FROM TO ARCHIVE [DIGEST [FORMAT]]
//       ARCHIVE takes an installation at version FROM straight to version
//       TO, rebuilding its files from the installed ones (a delta archive);
//       FORMAT (given past 1, with DIGEST "-" when there is none) is the
//       format of its delta pack: launchers that do not read it skip the
//       line, which those that knew only format 1 do for its field count;
//   --@pin ARCHIVE DIGEST
//       a signed list's pin of an archive's content, so that a file signed
//       by the same key for another product or server cannot stand in for it;
//   --@stage VERSION FROM SHARE CHANNEL ARCHIVE
//       a release that not every installation is offered yet: ARCHIVE (whole
//       files) takes one at FROM to VERSION, when its own number (0..99) is
//       below SHARE (0..100; 0 halts it) and, unless CHANNEL is "-", when it
//       opted into CHANNEL;
//   --@bridge FROM TO ARCHIVE
//       ARCHIVE (whole files) takes an installation at a staged or channel
//       version FROM to the later TO, so that it never applies an archive
//       that was made from another tree.
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
inline constexpr std::string_view kStageRulePrefix = "--@stage ";
inline constexpr std::string_view kBridgeRulePrefix = "--@bridge ";
inline constexpr std::string_view kBasesRulePrefix = "--@bases ";

// The highest format of delta pack (update/delta_pack.h) this launcher
// rebuilds from.
inline constexpr unsigned kDeltaPackFormat = 2;

struct DeltaRule {
    float from = 0;
    float to = 0;
    std::string archive;
    std::optional<ContentDigest> digest;
    unsigned format = 1;
    std::optional<ContentDigest> bases = std::nullopt;  // from the archive's --@bases line
};

struct StageRule {
    float version = 0;
    float from = 0;
    int share = 0;        // percent of installations, by their own numbers
    std::string channel;  // empty: every installation, whatever its channel
    std::string archive;
};

struct BridgeRule {
    float from = 0;
    float to = 0;
    std::string archive;
};

struct VersionRules {
    std::vector<DeltaRule> deltas;
    std::vector<StageRule> stages;
    std::vector<BridgeRule> bridges;
    std::map<std::string, ContentDigest> pins;  // archive -> digest

    // What the archive's content must be, when the list says.
    std::optional<ContentDigest> digestFor(const std::string& archive) const;
};

// The rules of a deciphered filelist.dat: every line that begins with one of
// the prefixes and parses.
VersionRules parseVersionRules(std::string_view text);

// Whether `name` can name a channel: [a-z0-9][a-z0-9_-]{0,31}.
bool isChannelName(std::string_view name);

// ARCHIVE as a rule writes it, and back; nullopt for a malformed encoding.
std::string ruleName(std::string_view archive);
std::optional<std::string> fromRuleName(std::string_view text);

}  // namespace gd

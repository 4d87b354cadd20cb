// The release record: a plain-text list of the published releases that
// a release keeps beside filelist.dat, and from which it writes that
// file, so that the version script never has to be edited by hand.
#pragma once

#include "trust/content_digest.h"
#include "trust/content_hash.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd::publish {

inline constexpr const char* kRecordName = "releases.txt";
inline constexpr const char* kVersionScriptName = "filelist.dat";

// A whole-file archive that takes an installation at a staged release's
// version to a later release, recorded with the later release.
struct Bridge {
    std::string from;  // the staged version, as the record writes it
    std::string archive;

    bool operator==(const Bridge&) const = default;
};

struct Release {
    std::string version;      // as the publisher wrote it, e.g. "1.3"
    std::string archive;      // file name in the server's update directory
    std::string description;  // the label of the version script's entry
    // The digest of the tree the release brings installations to (see
    // tree_digest.h); empty for releases recorded before digests were.
    std::string tree;
    // Who is offered it: every installation (100, no channel: the chain
    // that the Lua part lists), or a share of them, or of those that opted
    // into a channel (a staged release, offered by the list's rules only).
    int share = 100;
    std::string channel;
    // A staged release's archive starts from this version (the chain's last
    // release when it was published); empty for the chain's releases.
    std::string from;
    std::vector<Bridge> bridges;  // made with this release

    bool general() const { return share == 100 && channel.empty(); }
    bool operator==(const Release&) const = default;
};

// The newest release of the chain, or nullptr when there is none.
const Release* lastGeneral(const std::vector<Release>& releases);

// A version as the engine holds it: digits with an optional fraction, whose
// 32-bit float survives being written to version.dat with "%f" and read back
// (so "1.0000001", which would be recorded as 1.000000, is refused). The
// float, or nullopt with the reason in `error`.
std::optional<float> parseReleaseVersion(std::string_view text, std::string& error);

// The record's lines: "#" comments and blank lines, then one line per
// release, oldest first: VERSION<TAB>ARCHIVE<TAB>DESCRIPTION. A release's
// tree digest follows its line as the comment "#tree VERSION DIGEST", which
// readers that know nothing of it skip. A staged release is the comment
// "#staged VERSION<TAB>ARCHIVE<TAB>DESCRIPTION<TAB>FROM<TAB>SHARE<TAB>CHANNEL"
// (CHANNEL "-" for none), so that a reader that knows nothing of it never
// takes it for the chain's (and, finding its tree digest after no release of
// that version, refuses the record); a bridge made with a release follows it
// as "#bridge FROM ARCHIVE". nullopt, with the line at fault in `error`, when
// a line does not parse, an archive is no plain file name, the versions do
// not grow as 32-bit floats, or a digest or bridge does not follow the line
// of its release.
std::optional<std::vector<Release>> parseRecord(std::string_view text, std::string& error);
std::string recordText(const std::vector<Release>& releases);

// Why `description` cannot stand in the record (a tab or a line break), or
// empty when it can.
std::string descriptionProblem(std::string_view description);

// The plain Lua text of filelist.dat for the chain's releases (staged ones
// are the rules' to offer): latest_version is the newest, and `filelist`
// names every archive oldest first. The engine drops
// every archive whose version is not above the installed one, comparing the
// same 32-bit floats that version.dat records, so each installation at a
// recorded version gets exactly the newer archives.
std::string versionScriptText(const std::vector<Release>& releases);

// A delta archive the list offers: from an installation at `from` straight
// to `to`.
struct OfferedDelta {
    std::string from, to;  // versions as the record writes them
    std::string archive;
    std::optional<gd::ContentHash> hash;  // of the archive as proved; written for a signed list
    std::uint64_t size = 0;               // of the archive
    // Of the files in `from`'s tree that it is rebuilt from (update/delta_bases.h).
    std::optional<gd::ContentDigest> bases = std::nullopt;
    unsigned format = 1;  // of its delta pack (update/delta_pack.h)
};

// The rule lines (script/version_rules.h) that follow the script: one per
// staged release and bridge of `releases`, one per delta archive (each
// followed by its bases' digest when known), then one pin per archive of
// `pins`, in the record's order.
std::string versionRulesText(const std::vector<Release>& releases,
                             const std::vector<OfferedDelta>& deltas,
                             const std::vector<std::pair<std::string, gd::ContentDigest>>& pins);

// `script` without its rule lines: what versionScriptText made of it.
std::string withoutRules(std::string_view script);

// The lines of `script` that begin with one of `prefixes` (`wanted`, each
// ending in a line break), or the others, as they stand.
std::string linesWith(std::string_view script, std::initializer_list<std::string_view> prefixes,
                      bool wanted = true);

}  // namespace gd::publish

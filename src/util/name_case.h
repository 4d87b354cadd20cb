// Names as the original platform's file system matched them: without regard
// to case. Servers' archives and scripts were made where Data\Motion.bin and
// DATA\MOTION.BIN are one file; here a name that does not exist with its exact
// spelling is matched against the names that differ from it in case only.
#pragma once

#include "util/unique_fd.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct stat;

namespace gd {

// `name` with its letters in upper case, for comparing names: ASCII, and
// every other character of the Basic Multilingual Plane by its Unicode
// simple upper-case mapping (as NTFS's upcase table maps them: the
// full-width Latin, Greek and Cyrillic letters of CP932 included; no
// normalisation, no language rules). Text that is not valid UTF-8 has its
// ASCII letters folded only.
std::string foldCase(std::string_view name);

enum class NameFound {
    Exact,      // the name exists as written
    Folded,     // one entry differs from it in case only: `name` is its spelling
    Missing,    // nothing of either kind: a new entry takes the name as written
    Ambiguous,  // several entries differ from it in case only, none is exact
    Unreadable  // the directory could not be read: `error` says why
};

struct NameMatch {
    NameFound found = NameFound::Missing;
    std::string name;                  // the entry to use (or make)
    std::vector<std::string> matches;  // Ambiguous: the entries it could be
    int error = 0;                     // Unreadable: errno
};

// Looks `name` up in the open directory `directory`: the entry of exactly that
// name (links included, not followed), else the one entry that differs from it
// in case only. Reads the whole directory only when the exact name is missing.
NameMatch findName(int directory, const std::string& name);

// findName for a run of operations on the same folders: what it learns of a
// folder's entries it keeps, and the operations tell it what they add or
// remove, so that many new names in a large folder do not read it once each.
// A folder that changed otherwise (its modification time moved) is read
// again.
class FolderNames {
  public:
    NameMatch find(int directory, const std::string& name);
    void noteAdded(int directory, const std::string& name);
    void noteRemoved(int directory, const std::string& name);

    // The folder that a walk reached last, kept open for the next walk to
    // the same folder below the same base: a queue's copies go folder by
    // folder, and walking each one's path anew cost a dozen calls a file.
    // Reached by the walk's rules (see tree_walk.h), it stays that folder;
    // it is forgotten once anything is removed, so that a folder removed and
    // made again is walked to anew.
    struct Walked {
        std::string base;
        std::string folder;  // as the walk was asked for it
        std::string at;      // as the tree spells it, '/' after each component
        UniqueFd directory;
    };
    const Walked* walked(const std::string& base, std::string_view folder) const;
    void rememberWalk(Walked walked) { walked_ = std::move(walked); }

  private:
    struct Listing {
        std::int64_t changed = 0;  // the folder's modification time when read, in ns
        std::multimap<std::string, std::string> names;  // folded -> as the folder has it
    };
    // The listing of `directory`, whatever its time, and the folder's status.
    Listing* known(int directory, struct stat& info);

    std::map<std::pair<dev_t, ino_t>, Listing> listings_;  // by device, inode
    Walked walked_;
};

// The paths of a tree that this process fills alone (an unpacked archive),
// looked up as a case-insensitive file system would, without reading it.
class CaseIndex {
  public:
    // `relative` ('/' between components) with each component that the tree
    // holds under another case spelled as the tree has it; the rest as written.
    std::string resolve(std::string_view relative) const;
    // Records `relative` and every folder above it. What was recorded before
    // under another case keeps its spelling, and the rest goes below it.
    void add(std::string_view relative);

  private:
    std::map<std::string, std::string> paths_;  // folded path -> as the tree has it
};

}  // namespace gd

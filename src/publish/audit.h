// The audit of a server's update directory, the way launchers will use it:
// the version list's signature and expiry, the list at every version an
// installation can be at, the record it is made from, and every archive it
// names (signature, pin, contents, update.dat run in a recording sandbox).
#pragma once

#include "trust/public_key.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

struct AuditFinding {
    bool warning = false;  // worth knowing, but launchers are not refused anything
    std::string text;      // one line, naming the file at fault
};

// A release that not every installation is offered.
struct StagedRelease {
    std::string version;
    int share = 0;        // of the installations (of the channel); 0: halted
    std::string channel;  // empty: every installation's share
};

struct AuditReport {
    bool listMissing = false;  // no filelist.dat: nothing was audited
    // The version list's signature was refused: nothing else was checked.
    bool listRefused = false;
    std::vector<AuditFinding> findings;  // in the order they were found
    std::size_t versions = 0;            // versions an installation can be at
    std::size_t archives = 0;            // archives of the chain
    std::size_t deltaArchives = 0;
    std::vector<StagedRelease> staged;  // as the record has them

    // Whether any finding is a problem (not only a warning).
    bool faulty() const;
};

// Audits the update directory `dir` (named `shownAs` in the findings, when
// given: a staged copy is named as the directory it becomes); with `keys`,
// every signature is checked against them first, and nothing unsigned is
// evaluated or unpacked.
AuditReport auditServer(const std::filesystem::path& dir, std::vector<gd::PublicKey> keys,
                        const std::filesystem::path& shownAs = {});

}  // namespace gd::publish

// Resigning: the one regular chore of a signed server, done in one step. The
// signature of filelist.dat lasts 30 days by default; launchers refuse the
// list after that and see no update until it is signed anew.
//
// Resigning signs only what the publisher proved before: the list as it was
// signed by a key installations trust (or as the publisher's record has it),
// and, with `archives`, only archives that this list names and pins. Anything
// else is refused by name, and the directory stays as it was. The result is
// audited before it goes live.
#pragma once

#include "publish/audit.h"
#include "publish/publish_failure.h"
#include "publish/release_signing.h"

#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

struct ResignRequest {
    std::filesystem::path serverDir;
    SigningRequest signing;
    bool archives = false;  // every listed archive too, as after a key rotation
    // The update folders the list is for; none: those it is signed for now.
    std::vector<std::string> folders;
};

struct ResignResult {
    Failure failure;                       // Refused: the audit's findings
    std::filesystem::path live;            // the update directory, resolved
    std::vector<std::string> signedFiles;  // the signature files written, in order
    AuditReport audit;                     // of the result, before it went live
    std::vector<std::string> folders;      // the list is signed for; none: any
};

ResignResult resign(const ResignRequest& request);

}  // namespace gd::publish

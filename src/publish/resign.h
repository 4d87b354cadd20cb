// Resigning: the one regular chore of a signed server, done in one step. The
// signature of filelist.dat lasts 30 days by default; launchers refuse the
// list after that and see no update until it is signed anew.
#pragma once

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
};

struct ResignResult {
    Failure failure;
    std::filesystem::path live;            // the update directory, resolved
    std::vector<std::string> signedFiles;  // the signature files written, in order
};

// Signs filelist.dat (and with `archives` every archive it lists) anew in a
// staged copy of the update directory, which then takes its place in one
// step.
ResignResult resign(const ResignRequest& request);

}  // namespace gd::publish

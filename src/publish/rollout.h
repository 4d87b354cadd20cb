// Changing who is offered a staged release: widening keeps everyone who has
// it and offers it to more; 100 makes it an ordinary release of the chain
// (then launchers of every format see it); 0 halts it: nobody else takes
// it, and those who have it keep it until the next release. Nothing but
// the record and the list (and its signature) changes, in one step, after
// the result passed the audit.
#pragma once

#include "publish/audit.h"
#include "publish/publish_failure.h"
#include "publish/release_signing.h"

#include <filesystem>
#include <optional>
#include <string>

namespace gd::publish {

struct RolloutRequest {
    std::filesystem::path serverDir;
    std::string version;  // as the record writes it
    int share = 0;        // 0 to 100
    std::optional<SigningRequest> signing;
    bool dryRun = false;
};

struct RolloutResult {
    Failure failure;  // Refused: the audit's findings
    std::filesystem::path live;
    int before = 0;       // the share it had
    std::string channel;  // the channel it is offered in; empty: everyone's
    bool chain = false;   // it became an ordinary release
    bool published = false;
    AuditReport audit;  // of the result, before it went live
};

RolloutResult rollout(const RolloutRequest& request);

}  // namespace gd::publish

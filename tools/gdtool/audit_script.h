// update.dat as gdtool audit runs it: on the publisher's machine, where the
// secret key lives, so with less than launchers give it. The script gets
// base (without loaders), string, table, math and os's time functions, and
// an `update` table that only records what `updater` asks for; nothing it
// does reaches a file or a process. A script that needs more fails here, and
// the audit reports that instead of running it with more.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace gdtool {

struct AuditedScript {
    // Why the script did not run as launchers need it to (its main chunk or
    // `updater` failed, with Lua's message); empty when it did.
    std::string failure;
    // Full paths of the files that `updater` copies, below the script's folder.
    std::vector<std::string> copySources;
    bool launcherUpdate = false;  // `updater` replaces the launcher
};

// Runs the enciphered script at `scriptPath` and then its `updater`, as
// launchers would but for the library and the recording `update` table.
AuditedScript auditUpdateScript(const std::filesystem::path& scriptPath);

}  // namespace gdtool

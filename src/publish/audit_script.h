// update.dat as the audit runs it: on the publisher's machine, where the
// secret key lives, so with less than launchers give it. The script gets
// base (without loaders), string, table, math, os's time functions and
// debug's traceback and getinfo, and an `update` table that only records what
// `updater` asks for; nothing it does reaches a file or a process. A script
// that needs more fails here, and the audit reports that instead of running
// it with more. Its copy sources are found as launchers find them.
#pragma once

#include "update/update_archive.h"

#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

struct AuditedScript {
    // Why the script did not run as launchers need it to (its main chunk or
    // `updater` failed, with Lua's message); empty when it did.
    std::string failure;
    // Full paths of the files that `updater` copies, in the unpacked archive.
    std::vector<std::string> copySources;
    bool launcherUpdate = false;  // `updater` replaces the launcher
    std::string launcherSource;   // the new launcher it would take
};

// Runs the enciphered script at `scriptPath` of the unpacked `archive` and
// then its `updater`, as launchers would but for the library and the
// recording `update` table.
AuditedScript auditUpdateScript(const std::filesystem::path& scriptPath,
                                const gd::UnpackedArchive& archive);

}  // namespace gd::publish

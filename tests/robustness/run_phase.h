// What a frozen `gdtool update` run is doing at this moment, read from the
// files it holds open, the report lines it has printed and its private
// directory: the label that a crash test gives to each kill.
#pragma once

#include "robustness/gdtool_run.h"

#include <filesystem>
#include <set>
#include <string>

namespace gdtest {

enum class RunPhase {
    Check,         // before the first report: configuration, version script
    Download,      // connecting, or receiving an archive between its entries
    Unpack,        // inflating an entry as it arrives, or extracting a whole archive
    Script,        // running the update script
    Operations,    // carrying out the queued operations (copies above all)
    VersionWrite,  // replacing version.dat after an archive
    Between,       // the last operation done, before the next archive
};
inline constexpr int kRunPhaseCount = 7;

const char* phaseName(RunPhase phase);

// `run` must be frozen. `ownRunDirectory` is the run's private directory
// (empty when it has not made one yet).
RunPhase observePhase(const GdtoolRun& run, const std::filesystem::path& installDir,
                      const std::filesystem::path& ownRunDirectory);

}  // namespace gdtest

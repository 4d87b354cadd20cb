#include "robustness/run_phase.h"

#include <sstream>
#include <string_view>
#include <vector>

namespace gdtest {
namespace {

namespace fs = std::filesystem;

bool isBelow(std::string_view path, const fs::path& directory) {
    const std::string prefix = directory.string() + "/";
    return !directory.empty() && path.starts_with(prefix);
}

// What the open descriptors of the run tell.
struct Holdings {
    bool socket = false;
    bool archive = false;        // the downloaded zip in the run directory
    bool inflating = false;      // an entry below patch-N.parts, inflated as it arrives
    bool unpacked = false;       // a file or folder below patch-N in the run directory
    bool installFile = false;    // a file being written in the installation
    bool installFolder = false;  // the installation folder itself (a directory sync)
};

Holdings holdings(const GdtoolRun& run, const fs::path& installDir, const fs::path& runDir) {
    Holdings held;
    // One descriptor of the installation folder holds its lock all run long.
    bool lockSeen = false;
    for (const std::string& target : run.openFiles()) {
        if (target.starts_with("socket:")) {
            held.socket = true;
        } else if (target == installDir.string()) {
            held.installFolder = lockSeen;
            lockSeen = true;
        } else if (isBelow(target, installDir)) {
            held.installFile = true;
        } else if (isBelow(target, runDir)) {
            const std::string name = target.substr(runDir.string().size() + 1);
            const std::string top = name.substr(0, name.find('/'));
            if (name.find('/') == std::string::npos && name.ends_with(".zip")) {
                held.archive = true;
            } else if (top.ends_with(".parts")) {
                held.inflating = true;
            } else {
                held.unpacked = true;
            }
        }
    }
    return held;
}

struct LastReport {
    int code = -1;  // -1: none yet
    int value = 0;
    bool lastStepOfQueue = false;
};

LastReport lastReport(const std::string& output) {
    LastReport last;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("report=")) continue;
        std::istringstream fields(line.substr(7));
        std::string name, valueField;
        fields >> name >> valueField;
        last.code = lastReportCode(line);
        last.value = valueField.starts_with("value=") ? std::stoi(valueField.substr(6)) : 0;
        // "[ k/n ]" with k == n.
        const auto open = line.find("[ "), slash = line.find('/', open), close = line.find(" ]");
        last.lastStepOfQueue =
            open != std::string::npos && slash != std::string::npos && close != std::string::npos &&
            line.substr(open + 2, slash - open - 2) == line.substr(slash + 1, close - slash - 1);
    }
    return last;
}

bool archiveWaiting(const fs::path& runDir) {
    std::error_code error;
    if (runDir.empty()) return false;
    for (const auto& entry : fs::directory_iterator(runDir, error)) {
        if (entry.path().extension() == ".zip") return true;
    }
    return false;
}

constexpr int kDownloading = 2;
constexpr int kStep = 6;

}  // namespace

const char* phaseName(RunPhase phase) {
    switch (phase) {
        case RunPhase::Check:
            return "check";
        case RunPhase::Download:
            return "download";
        case RunPhase::Unpack:
            return "unpack";
        case RunPhase::Script:
            return "script";
        case RunPhase::Operations:
            return "operations";
        case RunPhase::VersionWrite:
            return "version write";
        case RunPhase::Between:
            return "between archives";
    }
    return "?";
}

RunPhase observePhase(const GdtoolRun& run, const fs::path& installDir, const fs::path& runDir) {
    const LastReport last = lastReport(run.output());
    if (last.code < 0) return RunPhase::Check;
    const Holdings held = holdings(run, installDir, runDir);
    // Entries are inflated while the archive downloads: a kill then lands in both.
    if (held.inflating) return RunPhase::Unpack;
    if (held.archive) return held.socket ? RunPhase::Download : RunPhase::Unpack;
    // A copy holds its source below the run directory while it writes and
    // syncs the target; version.dat is written with nothing else open.
    if (held.installFile || held.installFolder)
        return held.unpacked ? RunPhase::Operations : RunPhase::VersionWrite;
    if (held.unpacked) return last.code == kStep ? RunPhase::Operations : RunPhase::Script;
    if (held.socket) return RunPhase::Download;
    if (last.code == kDownloading) {
        if (last.value < 100) return RunPhase::Download;
        return archiveWaiting(runDir) ? RunPhase::Unpack : RunPhase::Script;
    }
    if (last.code == kStep) return last.lastStepOfQueue ? RunPhase::Between : RunPhase::Operations;
    return RunPhase::Download;  // reports 0 and 1: the first archive is about to be fetched
}

}  // namespace gdtest

// The update worker: brings the installation up to the server's latest
// version on a background thread, archive by archive, and reports every stage.
#pragma once

#include "fetch/source_list.h"
#include "fetch/version_check.h"
#include "script/launcher_config.h"
#include "script/version_manifest.h"
#include "update/run_notifier.h"
#include "update/staged_launcher.h"
#include "update/update_report.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace gd {

class DiskBudget;
class Notifier;

// What a front end hands to a new run; the run takes copies of all of it.
struct UpdateRequest {
    std::string launcherDir;  // ends in '/'; the update target directory
    LauncherConfig config;
    UpdateOffer offer;
};

// Everything one update run works on. Its records are the run's own; only
// the two front-end interfaces are shared, and they outlive the worker.
struct UpdateJob {
    std::string launcherDir;   // ends in '/'; the update target directory
    LauncherConfig config;     // installedVersion follows every applied archive
    VersionManifest manifest;  // the entries, rules and launcher request of this run
    RunNotifier notifier;      // the front end's, holding back a delta archive's failures
    UpdateReporter& reporter;
    SourceList sources = {};  // the mirrors that failed stay out for the whole run
    // The operations skipped for mistakes of their scripts, each with its
    // path and why, for the final report.
    std::vector<std::string> skipped = {};
    // The bytes that travelled in the run's finished downloads, and in the
    // current one as last reported.
    std::uint64_t travelled = 0;
    std::uint64_t travelling = 0;
    // The archive being worked on and the version it brings, for reports.
    std::string archive = {};
    float archiveVersion = 0;
    // What failed, for the status line: the first sentence of the box of an
    // archive that could not be unpacked or applied.
    std::string failureStatus = {};
};

// Owns the one worker thread. Destroying it asks a running update to stop at
// the next safe point (between downloads chunks, operations or archives) and
// waits for it.
class UpdateWorker {
  public:
    UpdateWorker(Notifier& notifier, UpdateReporter& reporter);
    UpdateWorker(const UpdateWorker&) = delete;
    UpdateWorker& operator=(const UpdateWorker&) = delete;
    ~UpdateWorker();

    // Starts an update of the request's entries unless one is running; false
    // when one is.
    bool StartUpdateWorker(UpdateRequest request);
    // Set from the start until Completed or Failed has been reported; stays
    // set after LauncherUpdate, since the launcher then ends.
    bool updating() const { return updating_.load(); }
    // Whether the thread of the current run has not ended yet.
    bool running() const { return running_.load(); }
    // Asks the current run to stop at its next safe point; it then ends
    // without a final report.
    void requestStop() { thread_.request_stop(); }
    // Waits until the current run, if any, has ended.
    void wait();

  private:
    Notifier& notifier_;
    UpdateReporter& reporter_;
    std::atomic<bool> updating_{false};
    std::atomic<bool> running_{false};
    std::jthread thread_;
};

// The worker's body: reports 0 and 1, takes the installation's lock (a run
// that finds another one holding it reports Failed at once, changing
// nothing), applies every entry newer than version.dat then holds, in list
// order, and records its version, then reports Completed, Failed or
// LauncherUpdate, with the installed version, the launcher paths and the
// skipped operations in that report. Where the
// rules offer a delta archive from the installed version, it stands in for
// the entries it covers; when it cannot be used, their whole-file archives
// follow, and the rest of the run takes the chain. The run's downloads and
// unpacked files share one DiskBudget. Returns the final report's code.
UpdateReportCode UpdateWorkerMain(UpdateJob& job, const ServerRecord& server, std::stop_token stop);

// Whether an archive carries its files whole, or rebuilds them from the
// installed ones with a delta pack (kDeltaPackEntry) before its script runs.
enum class ArchiveKind { Whole, Delta };

// What ApplyPatchArchive does once the archive is on disk, for an archive
// that needs no download (gdtool release proves its patches with it):
// unpacks `zipPath` into `unpackDir` (made here, removed before this returns),
// rebuilds a delta archive's files, runs its update script and operations
// against job.launcherDir and stages a new launcher. False after the box
// that the failure calls for, and without one when a stop was requested; a
// delta pack that cannot be rebuilt is told through fellBack, before any
// operation ran.
bool ApplyArchiveFile(UpdateJob& job, const std::filesystem::path& zipPath,
                      const std::filesystem::path& unpackDir, std::stop_token stop,
                      ArchiveKind kind = ArchiveKind::Whole);

// Downloads, unpacks and applies one archive inside `runDirectory`, using
// `slot` to keep the files of several archives apart, and stages the new
// launcher when the archive asked for it. The download may take what
// `budget` has left, the unpacked files what the download leaves; both are
// removed, and given back, before this returns. False on any failure (an
// operation that the environment refused is one; one skipped for a mistake
// of the script is not), after the error box that the failure calls for.
bool ApplyPatchArchive(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                       const std::filesystem::path& runDirectory, std::size_t slot,
                       DiskBudget& budget, std::stop_token stop);

enum class DeltaEnd {
    Applied,
    FellBack,  // nothing of it was placed; said through fellBack, with the reason
    Failed,    // as ApplyPatchArchive's failures, once its operations had begun
    Stopped,
};

// ApplyPatchArchive for the delta archive of `rule`: its files are rebuilt
// from the installed ones before its script runs. A download, signature,
// archive or rebuild that fails falls back (and shows no box).
DeltaEnd ApplyDeltaArchive(UpdateJob& job, const ServerRecord& server, const DeltaRule& rule,
                           const std::filesystem::path& runDirectory, std::size_t slot,
                           DiskBudget& budget, std::stop_token stop);

}  // namespace gd

#include "update/update_worker.h"

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/trust_settings.h"
#include "script/version_manifest.h"
#include "update/ftp_session.h"
#include "update/patch.h"
#include "update/run_directory.h"
#include "update/trusted_fetch.h"
#include "update/update_archive.h"
#include "update/update_script.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace gd {

namespace {

constexpr std::chrono::milliseconds kPauseBetweenArchives{100};

// Sleeps unless a stop is requested first; false when it was.
bool pauseUnlessStopped(std::stop_token stop, std::chrono::milliseconds pause) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, stop, pause, [] { return false; });
}

// Downloads the archive; false (after any error box) when it did not arrive
// whole or, in a signed installation, its signature was refused.
bool downloadArchive(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                     const std::filesystem::path& zipPath, std::stop_token stop) {
    FtpSession session;
    if (!session.Open(server)) {
        explainTlsFailure(job.notifier, session);
        return false;
    }
    // The signature comes first: a refused one costs no download.
    RemoteSignature signature(server, archive);
    if (!signature.fetch(session, stop)) {
        // A stop ends the run quietly; anything else is a refusal.
        if (!stop.stop_requested()) signature.reportRefusal(job.notifier, kDownloadFailedMessage);
        return false;
    }
    signature.followDownload(zipPath);
    const auto progress = [&job](int percent) {
        job.reporter.OnUpdateReport(UpdateReportCode::Downloading, percent, {});
    };
    const DownloadResult result = session.DownloadToFile(archive, zipPath, progress, stop);
    if (result == DownloadResult::ReadFailed)
        job.notifier.showMessage(kErrorCaption, kDownloadFailedMessage);
    if (result != DownloadResult::Done) return false;
    // Whatever retries and resumptions it took, the whole file is judged.
    return signature.judgeFile(zipPath) ||
           signature.reportRefusal(job.notifier, kDownloadFailedMessage);
}

// Carries out the queue in order; a failed operation neither stops the rest
// nor is reported. False when a stop was requested in between.
bool runQueue(UpdateJob& job, const PatchQueue& queue, std::stop_token stop) {
    for (std::size_t i = 0; i < queue.size(); ++i) {
        if (stop.stop_requested()) return false;
        CPatch& operation = queue.at(i);
        job.reporter.OnUpdateReport(UpdateReportCode::Step, 0,
                                    formatStepText(operation.Describe(), i + 1, queue.size()));
        operation.Execute();
    }
    return true;
}

// The new launcher lies in the run directory, which goes with the run: stage
// it beside the running launcher, where lcopy renames it into place.
void stageNewLauncher(UpdateJob& job) {
    const std::string staged = job.launcherDir + kStagedLauncherName;
    CPatchCopy copy(job.manifest.launcherCopySource(), staged);
    if (copy.Execute() == 1)
        job.manifest.setLauncherCopy(staged, job.manifest.launcherCopyTarget());
}

// Reports the end of a run, unless the owner is stopping it: then nobody is
// left to show the report, and the run ends quietly.
UpdateReportCode finish(UpdateJob& job, UpdateReportCode end, std::stop_token stop) {
    if (!stop.stop_requested()) job.reporter.OnUpdateReport(end, 0, {});
    return end;
}

}  // namespace

std::string formatStepText(std::string_view description, std::size_t position, std::size_t count) {
    return std::string(description) + "  [ " + std::to_string(position) + "/" +
           std::to_string(count) + " ] ";
}

bool CheckForUpdate(Notifier& notifier, const LauncherConfig& config, VersionManifest& manifest) {
    const float latest = FetchLatestVersion(notifier, config.server, manifest);
    return config.server.installedVersion < latest;
}

bool ApplyPatchArchive(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                       const std::filesystem::path& runDirectory, std::size_t slot,
                       std::stop_token stop) {
    const std::string name = "patch-" + std::to_string(slot);
    const auto zipPath = runDirectory / (name + ".zip");
    const auto unpackDir = runDirectory / name;
    if (!downloadArchive(job, server, archive, zipPath, stop)) return false;

    std::error_code error;
    std::filesystem::create_directory(unpackDir, error);
    const auto script = error ? std::nullopt : UnpackArchive(zipPath, unpackDir);
    if (!script) {
        job.notifier.showMessage(kErrorCaption, kUnpackFailedMessage);
        return false;
    }
    // The archive has served its purpose; its unpacked files stay until the
    // run directory goes.
    std::filesystem::remove(zipPath, error);

    PatchQueue queue;
    if (!RunUpdateScript(unpackDir / *script, job.launcherDir, job.manifest, queue)) {
        job.notifier.showMessage(kErrorCaption, kApplyFailedMessage);
        return false;
    }
    return runQueue(job, queue, stop);
}

UpdateReportCode UpdateWorkerMain(UpdateJob& job, const ServerRecord& server,
                                  std::stop_token stop) {
    job.reporter.OnUpdateReport(UpdateReportCode::ListFetching, 0, {});
    job.reporter.OnUpdateReport(UpdateReportCode::ListFetched, 0, {});

    const RunDirectory runDirectory;
    if (!runDirectory && job.manifest.entryCount() > 0)
        return finish(job, UpdateReportCode::Failed, stop);
    for (std::size_t i = 0; i < job.manifest.entryCount(); ++i) {
        const PatchEntry entry = job.manifest.entryAt(i);
        if (!ApplyPatchArchive(job, server, entry.archive, runDirectory.path(), i, stop))
            return finish(job, UpdateReportCode::Failed, stop);
        setInstalledVersion(job.launcherDir, job.config, entry.version);
        // The archive may have installed a config.dat with other keys: the
        // next check trusts those. This run keeps the rules it started with.
        refreshSignKeys(job.launcherDir, job.config.server);
        if (job.manifest.launcherUpdatePending()) {
            stageNewLauncher(job);
            return finish(job, UpdateReportCode::LauncherUpdate, stop);
        }
        if (!pauseUnlessStopped(stop, kPauseBetweenArchives))
            return finish(job, UpdateReportCode::Failed, stop);
    }
    return finish(job, UpdateReportCode::Completed, stop);
}

UpdateWorker::UpdateWorker(UpdateJob job) : job_(std::move(job)) {}

UpdateWorker::~UpdateWorker() {
    thread_.request_stop();
    wait();
}

bool UpdateWorker::StartUpdateWorker() {
    if (updating_.exchange(true)) return false;
    // A previous run has reported its end and is about to return.
    wait();
    running_ = true;
    thread_ = std::jthread([this, server = job_.config.server](std::stop_token stop) {
        const UpdateReportCode end = UpdateWorkerMain(job_, server, stop);
        // Cleared after the report returned, so that a new start never waits
        // on a thread that is still inside a report. After LauncherUpdate the
        // launcher ends with the flag set.
        if (end != UpdateReportCode::LauncherUpdate) updating_ = false;
        running_ = false;
    });
    return true;
}

void UpdateWorker::wait() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace gd

#include "update/update_worker.h"

#include "fetch/download_sink.h"
#include "fetch/file_download_sink.h"
#include "fetch/pipelined_sink.h"
#include "fetch/source_list.h"
#include "fetch/trusted_fetch.h"
#include "fetch/update_source.h"
#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/trust_settings.h"
#include "script/version_manifest.h"
#include "update/delta_bases.h"
#include "update/delta_pack.h"
#include "update/delta_rebuild.h"
#include "update/disk_budget.h"
#include "update/installation_lock.h"
#include "update/patch.h"
#include "update/run_directory.h"
#include "update/streaming_unpack.h"
#include "update/update_archive.h"
#include "update/update_plan.h"
#include "update/update_script.h"
#include "util/directory_syncs.h"
#include "util/name_case.h"
#include "util/stop_wait.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

namespace gd {

namespace {

constexpr std::chrono::milliseconds kPauseBetweenArchives{100};

// A report of the run, naming the archive it works on.
UpdateReport reportOf(const UpdateJob& job, UpdateReportCode code) {
    UpdateReport report;
    report.code = code;
    report.archive = job.archive;
    report.archiveVersion = job.archiveVersion;
    return report;
}

// Names the archive the run turns to, and says so before anything of it
// travels.
void startArchive(UpdateJob& job, const std::string& archive, float version) {
    job.archive = archive;
    job.archiveVersion = version;
    job.reporter.OnUpdateReport(reportOf(job, UpdateReportCode::Downloading));
}

// A box's text up to the end of its first sentence, for a status line.
std::string firstSentence(std::string_view text) {
    constexpr std::string_view kFullStop = "。";
    const auto end = text.find(kFullStop);
    return std::string(text.substr(0, end == text.npos ? text.size() : end + kFullStop.size()));
}

// Shows the box of an archive that could not be unpacked or applied, and
// keeps its first sentence for the status line at the run's end (a failed
// download leaves the status line its own words).
void showFailure(UpdateJob& job, std::string_view box) {
    job.failureStatus = firstSentence(box);
    job.notifier.showMessage(kErrorCaption, box);
}

ProgressSink progressOf(UpdateJob& job) {
    // A new download starts counting from nothing: what the last one
    // reported has travelled for good.
    job.travelled += job.travelling;
    job.travelling = 0;
    return [&job](const TransferProgress& progress) {
        // Another source's transfer of the same archive: the last one's
        // bytes travelled all the same.
        if (progress.travelled < job.travelling) job.travelled += job.travelling;
        job.travelling = progress.travelled;
        UpdateReport report = reportOf(job, UpdateReportCode::Downloading);
        report.value = progress.percent;
        report.travelled = progress.travelled;
        report.toTravel = progress.toTravel.value_or(0);
        report.retryAttempt = progress.retryAttempt;
        report.retryWait = progress.retryWait;
        job.reporter.OnUpdateReport(report);
    };
}

// The room that the cache's copy of an archive takes while it is fetched,
// given back once the fetch is over: by then the kept file is gone, or stays
// for a later run.
class KeptCharge {
  public:
    explicit KeptCharge(DiskBudget& budget) : budget_(budget) {}
    KeptCharge(const KeptCharge&) = delete;
    KeptCharge& operator=(const KeptCharge&) = delete;
    ~KeptCharge() { budget_.release(charged_); }
    KeepingSink::Charge charge() {
        return [this](std::uint64_t bytes) {
            if (!budget_.charge(bytes)) return false;
            charged_ += bytes;
            return true;
        };
    }

  private:
    DiskBudget& budget_;
    std::uint64_t charged_ = 0;
};

// Downloads the archive into a new file at `download`, charged against the
// run's budget; false (after any error box) when it did not arrive whole or,
// in a signed installation, its signature was refused. `file` then holds
// the archive, judged by what was written through it.
bool downloadArchive(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                     ChargedPath& download, std::optional<FileDownloadSink>& file,
                     DiskBudget& budget, std::stop_token stop) {
    DownloadResult result;
    {
        KeptCharge kept(budget);
        result = job.sources.fetchArchive(
            job.notifier, server, archive, job.manifest.rules().digestFor(archive), download.path(),
            file, progressOf(job), stop, budget.available(), kept.charge());
    }
    return result == DownloadResult::Done && download.charge(file->received());
}

bool syncFileSystemOf(const std::filesystem::path& path) {
    const UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory && ::syncfs(directory.get()) == 0;
}

// What one archive may unpack to: what the budget has left, and never more
// than a zip file without ZIP64 records holds.
std::uint64_t unpackLimit(const DiskBudget& budget) {
    return std::min<std::uint64_t>(budget.available(), kArchiveExtractLimit);
}

// A whole archive's files are synced once unpacked (copies may move them
// into place); a delta archive's rebuilt files are synced once they are made.
Durable unpackedDurability(ArchiveKind kind) {
    return kind == ArchiveKind::Whole ? Durable::Yes : Durable::No;
}

constexpr const char* kUnsyncedFiles = "the unpacked files cannot be written to the disk";
constexpr const char* kFilesDoNotFit = "its files do not fit in the space for the update";

// Unpacks the archive open as `zipFd` into `unpacked`, in what the budget
// has left after the download; why not goes to `why`. A delta archive's
// files are synced once they are rebuilt, together.
std::optional<UnpackedArchive> unpackArchive(int zipFd, ChargedPath& unpacked,
                                             const DiskBudget& budget, std::string& why,
                                             ArchiveKind kind = ArchiveKind::Whole) {
    std::error_code error;
    std::filesystem::create_directory(unpacked.path(), error);
    if (error) {
        why = "the folder to unpack it in cannot be made: " + error.message();
        return std::nullopt;
    }
    // Copies may move these files into place: one sync makes them all durable.
    const Durable durable = unpackedDurability(kind);
    auto contents = UnpackArchive(zipFd, unpacked.path(), unpackLimit(budget), &why, durable);
    if (!contents) return std::nullopt;
    if (!unpacked.charge(contents->bytes)) {
        why = kFilesDoNotFit;
        return std::nullopt;
    }
    if (durable == Durable::Yes && !syncFileSystemOf(unpacked.path())) {
        why = kUnsyncedFiles;
        return std::nullopt;
    }
    return contents;
}

// An archive inflated as it arrives into the private folder `parts`, made
// anew for each source that serves it.
class UnpackingStream : public ArchiveStream {
  public:
    UnpackingStream(ChargedPath& parts, const DiskBudget& budget, Durable durable)
        : parts_(parts), budget_(budget), durable_(durable) {}
    DownloadSink* restart() override {
        pipeline_.reset();
        unpack_.reset();
        parts_.remove();
        unpack_.emplace(parts_.path(), unpackLimit(budget_), durable_);
        if (unpack_->needsWholeFile()) return nullptr;
        // Receiving and hashing on this thread, inflating and writing on another.
        return &pipeline_.emplace(*unpack_);
    }
    bool finish() override { return !pipeline_ || pipeline_->finish(); }
    bool needsWholeFile() const override { return unpack_ && unpack_->needsWholeFile(); }
    const StreamingUnpack* unpack() const { return unpack_ ? &*unpack_ : nullptr; }

  private:
    ChargedPath& parts_;
    const DiskBudget& budget_;
    Durable durable_;
    std::optional<StreamingUnpack> unpack_;
    std::optional<PipelinedSink> pipeline_;  // feeds unpack_: destroyed first
};

// What became of an archive unpacked while it downloaded.
struct Streamed {
    bool wholeFileNeeded = false;  // it cannot be read front to back: nothing was decided
    bool fetched = false;          // it arrived whole and its signature holds
    std::optional<UnpackedArchive> contents;
    std::string unpackFailure;  // why there are no contents, once fetched
};

// Downloads the archive and unpacks it as it arrives into `parts`, then,
// once the whole of it is verified, places it in `unpacked`.
Streamed streamArchive(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                       ChargedPath& parts, ChargedPath& unpacked, DiskBudget& budget,
                       std::stop_token stop, ArchiveKind kind) {
    Streamed streamed;
    const Durable durable = unpackedDurability(kind);
    UnpackingStream stream(parts, budget, durable);
    StreamEnd end;
    {
        KeptCharge kept(budget);
        end = job.sources.streamArchive(job.notifier, server, archive,
                                        job.manifest.rules().digestFor(archive), stream,
                                        progressOf(job), stop, budget.available(), kept.charge());
    }
    switch (end) {
        case StreamEnd::WholeFileNeeded:
            streamed.wholeFileNeeded = true;
            return streamed;
        case StreamEnd::Failed:
            return streamed;
        case StreamEnd::Done:
            break;
    }
    streamed.fetched = true;
    const StreamingUnpack& unpack = *stream.unpack();
    if (!unpack.matchesDirectory()) {
        streamed.wholeFileNeeded = true;
        return streamed;
    }
    std::error_code error;
    std::filesystem::create_directory(unpacked.path(), error);
    if (error) {
        streamed.unpackFailure = "the folder to unpack it in cannot be made: " + error.message();
        return streamed;
    }
    streamed.contents = unpack.place(unpacked.path(), &streamed.unpackFailure);
    if (streamed.contents && !unpacked.charge(streamed.contents->bytes)) {
        streamed.contents.reset();
        streamed.unpackFailure = kFilesDoNotFit;
    }
    // One sync for every file, once they have their names in the run's own
    // folder and before any of them is moved into the installation (the
    // names there need no sync of their own: the run never reads them again
    // after a crash); a delta archive's rebuilt files are synced together
    // once they are made. The kept download goes first, or the sync would
    // write it.
    job.sources.settleKept();
    if (streamed.contents && durable == Durable::Yes && !unpack.sync()) {
        streamed.contents.reset();
        streamed.unpackFailure = kUnsyncedFiles;
    }
    return streamed;
}

enum class QueueEnd { Done, OperationFailed, Stopped };

// Notes an operation that was skipped for a mistake of the script, for the
// run's final report; the rest of the queue runs.
void noteSkipped(UpdateJob& job, const OperationResult& result) {
    job.skipped.push_back(result.reason);
}

// A copy over the installation's config.dat (in any case) in a signed
// installation, with a file that cannot take its place: skipped, so that the
// installation stays signed and usable after this run and every later start.
std::optional<OperationResult> unsigningCopy(const UpdateJob& job, const CPatch& operation) {
    const auto* copy = dynamic_cast<const CPatchCopy*>(&operation);
    if (copy == nullptr || job.config.server.signKeys.empty()) return std::nullopt;
    const TreePath& target = copy->targetPath();
    if (target.base != job.launcherDir || foldCase(target.relative) != "CONFIG.DAT")
        return std::nullopt;
    const std::string fault = signedSuccessorFault(copy->source());
    if (fault.empty()) return std::nullopt;
    return OperationResult{OperationEnd::Skipped,
                           "copy to " + target.relative +
                               ": the signed installation keeps its own, as the new one " +
                               "cannot take its place: " + fault};
}

// Carries out the queue in order. An operation that the environment refused
// ends it: the archive is then not applied, and the next run applies it again
// from the start, which the operations allow (an existing folder, a file
// already deleted and a copy made twice are all fine the second time). What
// the script got wrong is skipped and noted.
QueueEnd runQueue(UpdateJob& job, const PatchQueue& queue, std::stop_token stop) {
    for (std::size_t i = 0; i < queue.size(); ++i) {
        if (stop.stop_requested()) return QueueEnd::Stopped;
        CPatch& operation = queue.at(i);
        UpdateReport step = reportOf(job, UpdateReportCode::Step);
        step.text = formatStepText(operation.Describe(), i + 1, queue.size());
        job.reporter.OnUpdateReport(step);
        const auto kept = unsigningCopy(job, operation);
        const OperationResult result = kept ? *kept : operation.Perform();
        if (result.end == OperationEnd::Skipped) noteSkipped(job, result);
        if (result.end == OperationEnd::Failed) {
            job.notifier.refused(result.reason);
            return QueueEnd::OperationFailed;
        }
    }
    return QueueEnd::Done;
}

// Stages the new launcher that the queue asked for. An archive that lacks
// it only skips the replacement.
QueueEnd stageRequestedLauncher(UpdateJob& job, const UnpackedArchive& contents) {
    const std::string& source = job.manifest.launcherCopySource();
    const CopyMode mode =
        contents.withoutPermissions.contains(source) ? CopyMode::KeepTarget : CopyMode::FromSource;
    const OperationResult staged = stageLauncher(source, mode, job.launcherDir);
    switch (staged.end) {
        case OperationEnd::Done:
            job.manifest.setLauncherCopy(job.launcherDir + kStagedLauncherName,
                                         job.manifest.launcherCopyTarget());
            return QueueEnd::Done;
        case OperationEnd::Skipped:
            noteSkipped(job, staged);
            job.manifest.cancelLauncherUpdate();
            return QueueEnd::Done;
        case OperationEnd::Failed:
            job.notifier.refused(staged.reason);
            break;
    }
    return QueueEnd::OperationFailed;
}

// Lets the last copy of each unpacked file move it instead, unless the new
// launcher is staged from it after the queue. Files are told apart by inode,
// whatever spelling the script used for them. Without the umask, which
// tells the bits a copy would get, every copy copies.
void allowMoves(const PatchQueue& queue, const std::filesystem::path& unpacked,
                DirectorySyncs& syncs) {
    const auto umask = CurrentUmask();
    if (!umask) return;
    const std::string inside = unpacked.string() + "/";
    std::map<std::pair<dev_t, ino_t>, CPatchCopy*> lastCopy;
    std::set<std::pair<dev_t, ino_t>> pinned;
    for (std::size_t i = 0; i < queue.size(); ++i) {
        auto* copy = dynamic_cast<CPatchCopy*>(&queue.at(i));
        struct stat info {};
        if (copy == nullptr || !copy->source().starts_with(inside) ||
            ::lstat(copy->source().c_str(), &info) != 0)
            continue;
        const std::pair key{info.st_dev, info.st_ino};
        if (dynamic_cast<CPatchLuncherCopy*>(copy) != nullptr) {
            pinned.insert(key);
        } else {
            lastCopy[key] = copy;
        }
    }
    for (const auto& [key, copy] : lastCopy) {
        if (!pinned.contains(key)) copy->allowMove(syncs, *umask);
    }
}

// Runs the script of an unpacked archive and its operations, and stages the
// new launcher (which lies in the unpacked files, removed after this) when an
// operation asked for it. False after the apply-failed box, or on a stop.
bool applyScript(UpdateJob& job, const std::filesystem::path& unpacked,
                 const std::filesystem::path& script, const UnpackedArchive& contents,
                 std::stop_token stop) {
    PatchQueue queue;
    DirectorySyncs syncs;
    QueueEnd end = QueueEnd::OperationFailed;
    if (RunUpdateScript(script, job.launcherDir, job.manifest, queue, &contents)) {
        allowMoves(queue, unpacked, syncs);
        end = runQueue(job, queue, stop);
        // Every moved file's new name is on the disk before the version is.
        syncs.flush();
    }
    if (end == QueueEnd::Stopped) return false;
    if (end == QueueEnd::Done && job.manifest.launcherUpdatePending())
        end = stageRequestedLauncher(job, contents);
    if (end != QueueEnd::Done) showFailure(job, kApplyFailedMessage);
    return end == QueueEnd::Done;
}

// What fetching an archive gave: nothing when the download failed (after its
// box), else its unpacked contents, or why there are none.
struct Fetched {
    bool arrived = false;
    std::optional<UnpackedArchive> contents;
    std::string unpackFailure;
};

// Applies what was fetched: the unpack-failed box when the archive could
// not be read, the apply-failed box when its script is unusable, each after
// the reason that names the archive.
bool applyContents(UpdateJob& job, const ChargedPath& unpacked, const Fetched& fetched,
                   std::stop_token stop) {
    if (!fetched.contents) {
        job.notifier.refused(job.archive + " cannot be unpacked: " + fetched.unpackFailure);
        showFailure(job, kUnpackFailedMessage);
        return false;
    }
    if (!fetched.contents->script) {
        job.notifier.refused(job.archive +
                             ": its update.dat cannot be used (encrypted, a link or folder, or "
                             "a name that cannot be read)");
        showFailure(job, kApplyFailedMessage);
        return false;
    }
    return applyScript(job, unpacked.path(), unpacked.path() / *fetched.contents->script,
                       *fetched.contents, stop);
}

// Rebuilds the files of an unpacked delta archive from the installation, in
// what the budget has left. False, with the reason said through fellBack,
// when they cannot be had; nothing was placed then.
bool rebuildDeltas(UpdateJob& job, std::string_view archive, ChargedPath& unpacked,
                   const DiskBudget& budget) {
    const Rebuilt rebuilt = rebuildFromDeltas(unpacked.path() / kDeltaPackEntry, unpacked.path(),
                                              job.launcherDir, budget.available());
    std::string failure = rebuilt.failure;
    if (rebuilt.done && !unpacked.charge(rebuilt.bytes))
        failure = "the rebuilt files do not fit in the space for the update";
    // Copies may move the rebuilt files into place: on the disk first.
    if (rebuilt.done && failure.empty() && !syncFileSystemOf(unpacked.path()))
        failure = "the rebuilt files cannot be written to the disk";
    if (!failure.empty()) job.notifier.fellBack(archive, failure);
    return failure.empty();
}

// Downloads the archive into `unpacked`: unpacked as it arrives where it can
// be read front to back, else whole first.
Fetched fetchUnpacked(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                      const std::filesystem::path& runDirectory, const std::string& name,
                      ChargedPath& unpacked, DiskBudget& budget, std::stop_token stop,
                      ArchiveKind kind) {
    {
        ChargedPath parts(budget, runDirectory / (name + ".parts"));
        Streamed streamed =
            streamArchive(job, server, archive, parts, unpacked, budget, stop, kind);
        if (!streamed.wholeFileNeeded)
            return {streamed.fetched, std::move(streamed.contents),
                    std::move(streamed.unpackFailure)};
    }
    // The whole file first, then UnpackArchive's rules on it. Bytes kept
    // from an earlier run that make an archive that cannot be unpacked (an
    // unsigned one whose server changed it under the same size and time) go,
    // and it is fetched once more from zero.
    Fetched fetched;
    for (int round = 0; round < 2; ++round) {
        ChargedPath download(budget, runDirectory / (name + ".zip"));
        unpacked.remove();
        std::optional<FileDownloadSink> file;
        if (!downloadArchive(job, server, archive, download, file, budget, stop)) return {};
        job.sources.settleKept();
        fetched = {true, std::nullopt, {}};
        fetched.contents = unpackArchive(file->fd(), unpacked, budget, fetched.unpackFailure, kind);
        // The archive has served its purpose.
        file.reset();
        download.remove();
        if (fetched.contents || !job.sources.lastFromKept()) break;
    }
    return fetched;
}

// Ends a run that found another one holding the installation: said as a
// refusal (the window logs it, gdtool prints it), without a box.
UpdateReportCode finishBusy(UpdateJob& job, std::stop_token stop) {
    if (stop.stop_requested()) return UpdateReportCode::Failed;
    job.notifier.refused(busyReason(job.launcherDir));
    UpdateReport report = reportOf(job, UpdateReportCode::Failed);
    report.text = kBusyStatus;
    report.installationBusy = true;
    report.installedVersion = job.config.server.installedVersion;
    report.signKeys = job.config.server.signKeys;
    report.settingsUnusable = job.config.server.unusable;
    job.reporter.OnUpdateReport(report);
    return UpdateReportCode::Failed;
}

// Why the delta archive of `rule` cannot be used on this installation, found
// from the archive's first bytes before it is downloaded; empty when it may
// be, or when its head cannot tell (then the download and the rebuild judge).
std::string deltaBaseProblem(UpdateJob& job, const ServerRecord& server, const DeltaRule& rule,
                             std::stop_token stop) {
    for (std::size_t want = kDeltaHeadFirstRead;;) {
        const auto head =
            job.sources.readArchiveHead(job.notifier, server, rule.archive, want, stop);
        if (!head) return {};
        job.travelled += head->size();
        const DeltaHead read = readDeltaHead(*head);
        if (read.bases) return basesProblem(*read.bases, job.launcherDir, rule.bases);
        // A head shorter than asked for is the whole archive.
        if (head->size() < want || read.needed <= want || read.needed > kDeltaHeadLimit) return {};
        want = static_cast<std::size_t>(read.needed);
    }
}

// Reports the end of a run with what the front end takes over from it, unless
// the owner is stopping it: then nobody is left to show the report, and the
// run ends quietly.
UpdateReportCode finish(UpdateJob& job, UpdateReportCode end, std::stop_token stop) {
    if (stop.stop_requested()) return end;
    UpdateReport report = reportOf(job, end);
    if (end == UpdateReportCode::Failed) report.text = job.failureStatus;
    report.installedVersion = job.config.server.installedVersion;
    report.travelled = job.travelled + job.travelling;
    report.signKeys = job.config.server.signKeys;
    report.settingsUnusable = job.config.server.unusable;
    report.skipped = job.skipped;
    if (end == UpdateReportCode::LauncherUpdate) {
        report.launcherCopySource = job.manifest.launcherCopySource();
        report.launcherCopyTarget = job.manifest.launcherCopyTarget();
    }
    job.reporter.OnUpdateReport(report);
    return end;
}

}  // namespace

std::string formatStepText(std::string_view description, std::size_t position, std::size_t count) {
    return std::string(description) + "  [ " + std::to_string(position) + "/" +
           std::to_string(count) + " ] ";
}

bool ApplyArchiveFile(UpdateJob& job, const std::filesystem::path& zipPath,
                      const std::filesystem::path& unpackDir, std::stop_token stop,
                      ArchiveKind kind) {
    DiskBudget budget;
    budget.followFreeSpace(unpackDir.parent_path());
    ChargedPath unpacked(budget, unpackDir);
    const UniqueFd zip(::open(zipPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (job.archive.empty()) job.archive = zipPath.filename().string();
    Fetched fetched{true, std::nullopt, {}};
    fetched.contents = unpackArchive(zip.get(), unpacked, budget, fetched.unpackFailure, kind);
    if (fetched.contents && kind == ArchiveKind::Delta &&
        !rebuildDeltas(job, zipPath.filename().string(), unpacked, budget))
        return false;
    return applyContents(job, unpacked, fetched, stop);
}

bool ApplyPatchArchive(UpdateJob& job, const ServerRecord& server, const std::string& archive,
                       const std::filesystem::path& runDirectory, std::size_t slot,
                       DiskBudget& budget, std::stop_token stop) {
    const std::string name = "patch-" + std::to_string(slot);
    ChargedPath unpacked(budget, runDirectory / name);
    const Fetched fetched = fetchUnpacked(job, server, archive, runDirectory, name, unpacked,
                                          budget, stop, ArchiveKind::Whole);
    return fetched.arrived && applyContents(job, unpacked, fetched, stop);
}

DeltaEnd ApplyDeltaArchive(UpdateJob& job, const ServerRecord& server, const DeltaRule& rule,
                           const std::filesystem::path& runDirectory, std::size_t slot,
                           DiskBudget& budget, std::stop_token stop) {
    if (const std::string problem = deltaBaseProblem(job, server, rule, stop); !problem.empty()) {
        job.notifier.fellBack(rule.archive, problem);
        return DeltaEnd::FellBack;
    }
    if (stop.stop_requested()) return DeltaEnd::Stopped;
    const std::string name = "delta-" + std::to_string(slot);
    ChargedPath unpacked(budget, runDirectory / name);
    job.notifier.hold();
    const Fetched fetched = fetchUnpacked(job, server, rule.archive, runDirectory, name, unpacked,
                                          budget, stop, ArchiveKind::Delta);
    const std::string held = job.notifier.release();
    if (stop.stop_requested()) return DeltaEnd::Stopped;
    std::string failure;
    if (!fetched.arrived) {
        failure = held.empty() ? "it could not be downloaded" : held;
    } else if (!fetched.contents) {
        failure = "it cannot be unpacked: " + fetched.unpackFailure;
    } else if (!fetched.contents->script) {
        failure = "it holds no update.dat that can be used";
    }
    if (!failure.empty()) {
        job.notifier.fellBack(rule.archive, failure);
        return DeltaEnd::FellBack;
    }
    if (!rebuildDeltas(job, rule.archive, unpacked, budget)) return DeltaEnd::FellBack;
    return applyContents(job, unpacked, fetched, stop) ? DeltaEnd::Applied : DeltaEnd::Failed;
}

UpdateReportCode UpdateWorkerMain(UpdateJob& job, const ServerRecord& server,
                                  std::stop_token stop) {
    job.reporter.OnUpdateReport(UpdateReportCode::ListFetching, 0, {});
    job.reporter.OnUpdateReport(UpdateReportCode::ListFetched, 0, {});

    const InstallationLock lock(job.launcherDir);
    if (lock.busy()) return finishBusy(job, stop);
    // Another run may have taken the installation on since this one's check:
    // what it holds now decides which archives are still to come.
    loadVersionFile(job.launcherDir, job.config);
    std::vector<PatchEntry> entries = offerOf(job.manifest).entries;
    std::erase_if(entries, [&](const PatchEntry& entry) {
        return !(entry.version > job.config.server.installedVersion);
    });

    const RunDirectory runDirectory;
    if (!runDirectory && !entries.empty()) return finish(job, UpdateReportCode::Failed, stop);
    DiskBudget budget;
    std::set<std::string> listed;
    for (std::size_t i = 0; i < job.manifest.entryCount(); ++i)
        listed.insert(job.manifest.entryAt(i).archive);
    for (const DeltaRule& rule : job.manifest.rules().deltas) listed.insert(rule.archive);
    job.sources.pruneKept(server, listed);
    bool deltas = true;
    for (std::size_t next = 0, slot = 0; next < entries.size(); ++slot) {
        budget.followFreeSpace(runDirectory.path());
        const PlanStep step = nextStep(job.config.server.installedVersion, entries, next,
                                       job.manifest.rules(), deltas);
        startArchive(job, step.delta != nullptr ? step.delta->archive : entries[next].archive,
                     entries[step.last].version);
        if (step.delta != nullptr) {
            const DeltaEnd end = ApplyDeltaArchive(job, server, *step.delta, runDirectory.path(),
                                                   slot, budget, stop);
            // The chain from here: what failed one delta archive would
            // likely fail the next.
            deltas = deltas && end != DeltaEnd::FellBack;
            if (end == DeltaEnd::FellBack) continue;
            if (end != DeltaEnd::Applied) return finish(job, UpdateReportCode::Failed, stop);
        } else if (!ApplyPatchArchive(job, server, entries[next].archive, runDirectory.path(), slot,
                                      budget, stop)) {
            return finish(job, UpdateReportCode::Failed, stop);
        }
        const PatchEntry& entry = entries[step.last];
        next = step.last + 1;
        // Recorded only once a staged launcher is in place: a run killed in
        // between applies the archive again rather than losing the launcher.
        setInstalledVersion(job.launcherDir, job.config, entry.version);
        // The archive may have installed a config.dat with other keys: the
        // next check trusts those. This run keeps the rules it started with.
        refreshSignKeys(job.launcherDir, job.config.server);
        if (job.manifest.launcherUpdatePending())
            return finish(job, UpdateReportCode::LauncherUpdate, stop);
        // Between archives only: the run's end waits for nothing.
        if (next < entries.size() && !waitUnlessStopped(stop, kPauseBetweenArchives))
            return finish(job, UpdateReportCode::Failed, stop);
    }
    return finish(job, UpdateReportCode::Completed, stop);
}

UpdateWorker::UpdateWorker(Notifier& notifier, UpdateReporter& reporter)
    : notifier_(notifier), reporter_(reporter) {}

UpdateWorker::~UpdateWorker() {
    thread_.request_stop();
    wait();
}

bool UpdateWorker::StartUpdateWorker(UpdateRequest request) {
    if (updating_.exchange(true)) return false;
    // A previous run has reported its end and is about to return.
    wait();
    running_ = true;
    thread_ = std::jthread([this, request = std::move(request)](std::stop_token stop) {
        UpdateJob job{request.launcherDir, request.config, {}, notifier_, reporter_};
        for (const PatchEntry& entry : request.offer.entries) job.manifest.addEntry(entry);
        job.manifest.setRules(request.offer.rules);
        // The run keeps the server and the keys it started with, whatever
        // config.dat an archive installs.
        const ServerRecord server = job.config.server;
        const UpdateReportCode end = UpdateWorkerMain(job, server, stop);
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

// check and update: the engine's network side, driven from a terminal.

#include "arguments.h"
#include "commands.h"
#include "terminal_output.h"

#include "fetch/source_list.h"
#include "fetch/source_probe.h"
#include "fetch/transfer_attempts.h"
#include "install/install_paths.h"
#include "install/instance_lock.h"
#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "update/installation_lock.h"
#include "update/update_worker.h"
#include "util/process.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

namespace gdtool {

namespace {

const char* reportName(gd::UpdateReportCode code) {
    switch (code) {
        case gd::UpdateReportCode::ListFetching:
            return "ListFetching";
        case gd::UpdateReportCode::ListFetched:
            return "ListFetched";
        case gd::UpdateReportCode::Downloading:
            return "Downloading";
        case gd::UpdateReportCode::Completed:
            return "Completed";
        case gd::UpdateReportCode::LauncherUpdate:
            return "LauncherUpdate";
        case gd::UpdateReportCode::Failed:
            return "Failed";
        case gd::UpdateReportCode::Step:
            return "Step";
    }
    return "";
}

// What a retry report says: the attempt that follows and the wait before it.
std::string retryText(const gd::UpdateReport& report) {
    const auto seconds = std::chrono::duration<double>(report.retryWait).count();
    char wait[32];
    std::snprintf(wait, sizeof wait, "%g", seconds);
    return "attempt " + std::to_string(report.retryAttempt) + " of " +
           std::to_string(gd::kChunkAttempts) + " in " + wait + " s";
}

// One stdout line per report, and on stderr one line per operation that the
// run skipped and per retry of a transfer; a progress bar on stderr when it
// is a terminal.
class PrintingReporter : public gd::UpdateReporter {
  public:
    explicit PrintingReporter(CommandOutput& output)
        : output_(output), drawBar_(::isatty(STDERR_FILENO) == 1) {
        last_.code = gd::UpdateReportCode::Failed;
    }
    using gd::UpdateReporter::OnUpdateReport;

    void OnUpdateReport(const gd::UpdateReport& report) override {
        const gd::UpdateReportCode code = report.code;
        last_ = report;
        const bool retrying = report.retryAttempt > 0;
        const std::string text = retrying ? "retrying: " + retryText(report) : report.text;
        JsonObject object;
        object.add("type", "report")
            .add("code", static_cast<int>(code))
            .add("name", reportName(code))
            .add("value", report.value)
            .add("text", text);
        std::string line =
            "report=" + std::string(reportName(code)) + " value=" + std::to_string(report.value);
        if (!report.archive.empty()) {
            const std::string version = gd::formatVersion(report.archiveVersion);
            object.add("archive", report.archive).add("version", version);
            line += " archive=" + report.archive + " version=" + version;
        }
        // A download's bytes that travel: a delta archive's, or what a
        // continued download still brings.
        if (code == gd::UpdateReportCode::Downloading)
            object.add("travelled", static_cast<long long>(report.travelled))
                .add("toTravel", static_cast<long long>(report.toTravel));
        if (retrying)
            object.add("attempt", report.retryAttempt)
                .add("attempts", gd::kChunkAttempts)
                .add("wait", static_cast<long long>(report.retryWait.count()));
        output_.line(line + " text=" + text, object);
        if (retrying) {
            clearBar();
            std::cerr << "gdtool: " << report.archive << ": the transfer broke off; "
                      << retryText(report) << std::endl;
        }
        if (drawBar_ && code == gd::UpdateReportCode::Downloading) {
            drawProgress(report);
        } else {
            clearBar();
        }
        for (const std::string& skipped : report.skipped) {
            std::cerr << "gdtool: skipped " << shownText(skipped) << std::endl;
            output_.json(JsonObject().add("type", "omitted").add("operation", skipped));
        }
    }

    const gd::UpdateReport& last() const { return last_; }

  private:
    void clearBar() {
        if (!barShown_) return;
        std::cerr << "\r\033[K" << std::flush;
        barShown_ = false;
    }
    // The bytes that travel: a delta archive's, or what a continued
    // download still brings.
    void drawProgress(const gd::UpdateReport& report) {
        constexpr int kWidth = 40;
        const int filled = report.value * kWidth / 100;
        char bytes[64];
        std::snprintf(bytes, sizeof bytes, " %.1f of %.1f MiB", report.travelled / 1048576.0,
                      report.toTravel / 1048576.0);
        std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
                  << report.value << "%" << (report.toTravel > 0 ? bytes : "") << std::flush;
        barShown_ = true;
    }

    CommandOutput& output_;
    bool drawBar_;
    bool barShown_ = false;
    gd::UpdateReport last_;
};

// What lcopy is to be started with.
void printLauncherReplacement(CommandOutput& output, const gd::LauncherReplacement& replacement) {
    output.line(FieldLine{"launcher=" + replacement.source, replacement.target},
                JsonObject()
                    .add("type", "launcher")
                    .add("source", replacement.source)
                    .add("target", replacement.target));
}

// Puts a staged launcher in place with the installation's own lcopy, as the
// window does at its next start, but without starting the new launcher: on
// a machine without a display that start would only fail. Nothing happens
// while a launcher runs; its lcopy takes over when it ends. True once the
// new launcher is in place.
bool replaceLauncher(CommandOutput& output, const std::string& dir,
                     const gd::LauncherReplacement& replacement) {
    if (gd::InstanceLock::lockFilePath() && !gd::InstanceLock::tryAcquire()) {
        std::cerr << "gdtool: a launcher is running: it hands " << replacement.source
                  << " to lcopy when it next starts" << std::endl;
        return false;
    }
    // Never beside a run that works on the installation.
    const gd::InstallationLock installation(dir);
    if (installation.busy()) {
        std::cerr << "gdtool: " << gd::busyReason(dir) << std::endl;
        return false;
    }
    const std::string copier = dir + gd::kCopierExecutable;
    const auto child =
        gd::spawnProcess(copier, {copier, "--no-start", replacement.source, replacement.target});
    const std::optional<int> exit = child ? gd::waitForExit(*child) : std::nullopt;
    if (exit == 0) {
        output.line("replaced=" + replacement.target,
                    JsonObject().add("type", "replaced").add("target", replacement.target));
        return true;
    }
    std::cerr << "gdtool: " << copier << (child ? " failed" : " cannot be started")
              << "; the new launcher still waits in " << replacement.source << std::endl;
    return false;
}

// What a run's downloads brought: delta archives and continued downloads
// bring less than the files they make.
void printDownloaded(CommandOutput& output, std::uint64_t travelled) {
    output.line(
        "downloaded=" + std::to_string(travelled),
        JsonObject().add("type", "downloaded").add("bytes", static_cast<long long>(travelled)));
}

// Says the launcher that a run staged (or an earlier one left) and, when
// asked to, has it put in place. True once it is in place: the run then
// goes on with the archives after it, as the new launcher would.
bool handOverLauncher(CommandOutput& output, const std::string& dir,
                      const gd::LauncherReplacement& replacement, bool replace) {
    printLauncherReplacement(output, replacement);
    if (replace) return replaceLauncher(output, dir, replacement);
    std::cerr << "gdtool: the new launcher waits in " << replacement.source
              << "; the launcher puts it in place when it next starts, or "
                 "gdtool update --replace-launcher does now"
              << std::endl;
    return false;
}

// The end of a run that leaves a launcher to replace.
int launcherUpdateEnd(CommandOutput& output, std::optional<std::uint64_t> travelled) {
    if (travelled) printDownloaded(output, *travelled);
    printStatus(output, "launcher-update");
    return kExitLauncherUpdate;
}

// Exit code and status line of a version check that found nothing to do:
// a script error or a refusal (1: the signature, the settings or the list
// were refused, and nothing was updated), a server that could not be read
// (5) or an installation that is up to date (0).
int uncheckedEnd(CommandOutput& output, const StderrNotifier& notifier) {
    if (notifier.anyRefused() || notifier.shown()) {
        printStatus(output, "refused", notifier.lastReason());
        return kExitRefused;
    }
    if (notifier.anyUnreachable()) {
        printStatus(output, "failed", notifier.lastReason());
        return kExitFailed;
    }
    printStatus(output, "up-to-date");
    return kExitOk;
}

// The online test as the window makes it; why the installation is offline
// is said through `notifier`, a TLS failure as a refusal.
bool onlineTest(StderrNotifier& notifier, const gd::ServerRecord& server) {
    if (!gd::IsInternetAvailable(server.ftpAddress)) {
        notifier.unreachable("the system reports no network connection");
        return false;
    }
    const gd::ProbeAnswer probe = gd::ProbeSources(server);
    for (const auto& [mirror, why] : probe.mirrorFailures) notifier.sourceSkipped(mirror, why);
    if (!probe.tlsFailure.empty()) {
        notifier.refused(probe.tlsFailure);
    } else if (!probe.online) {
        notifier.unreachable(probe.failure);
    }
    return probe.online;
}

// What the rounds of one update run have done so far.
struct UpdateRun {
    std::uint64_t travelled = 0;
    bool launcherReplaced = false;
    float lastStart = 0.0f;  // the installed version the last round began at
};

// A check and an update of DIR from what its files say now. The exit code
// when the run ends; nullopt when a launcher was put in place and the run
// goes on with the archives after it.
std::optional<int> updateRound(CommandOutput& output, PrintingReporter& reporter,
                               const std::string& dir, bool replace, UpdateRun& run) {
    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    // Each round starts at a newer version than the one before: never a loop.
    if (run.launcherReplaced && !(config.server.installedVersion > run.lastStart))
        return launcherUpdateEnd(output, run.travelled);
    run.lastStart = config.server.installedVersion;
    config.server.audience = installationAudience(dir);
    StderrNotifier notifier(output, "message=", gd::usesMirrors(config.server));
    gd::VersionManifest manifest;
    const bool newer = gd::CheckForUpdate(notifier, config, manifest);
    printWithheld(output, manifest, config.server.audience);
    // Nothing is updated past a refusal, as after a failed archive.
    if (!newer) {
        printDownloaded(output, run.travelled);
        if (!run.launcherReplaced || notifier.anyRefused() || notifier.shown() ||
            notifier.anyUnreachable())
            return uncheckedEnd(output, notifier);
        printStatus(output, "updated");
        return kExitOk;
    }

    {
        gd::UpdateWorker worker(notifier, reporter);
        worker.StartUpdateWorker({dir, config, gd::offerOf(manifest)});
        worker.wait();
    }
    const gd::UpdateReport& last = reporter.last();
    run.travelled += last.travelled;
    switch (last.code) {
        case gd::UpdateReportCode::Completed:
            printDownloaded(output, run.travelled);
            printStatus(output, "updated");
            return kExitOk;
        case gd::UpdateReportCode::LauncherUpdate:
            if (!handOverLauncher(output, dir, {last.launcherCopySource, last.launcherCopyTarget},
                                  replace))
                return launcherUpdateEnd(output, run.travelled);
            run.launcherReplaced = true;
            return std::nullopt;
        default: {
            const std::string reason = notifier.lastReason();
            printDownloaded(output, run.travelled);
            if (last.installationBusy) {
                printStatus(output, "busy", reason);
                return kExitBusy;
            }
            printStatus(output, "failed", reason.empty() ? "the update did not complete" : reason);
            return kExitFailed;
        }
    }
}

}  // namespace

int checkCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    if (args.size() != 1) return fail("check needs DIR [--json]");
    const std::string dir = installationArgument(args[0]);
    if (dir.empty()) return kExitInput;

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    config.server.audience = installationAudience(dir);
    StderrNotifier notifier(output, "message=", gd::usesMirrors(config.server));
    JsonObject summary;
    summary.add("type", "check");
    printTrustLines(output, summary, config.server, true);
    // Unusable settings are the refusal that the version check says.
    const bool online = config.server.unusable.empty() && onlineTest(notifier, config.server);
    gd::VersionManifest manifest;
    const float latest = online || !config.server.unusable.empty()
                             ? gd::FetchLatestVersion(notifier, config.server, manifest)
                             : 0.0f;
    const bool faulted = notifier.anyRefused() || notifier.shown() || notifier.anyUnreachable();
    // Up to date, the server's latest version is the one it names, not none.
    const float announced = latest > 0.0f || faulted ? latest : manifest.announcedVersion();
    output.text(std::string("online=") + (online ? "1" : "0"));
    output.text("latest=" + gd::formatVersion(announced));
    printEntries(output, manifest);
    printWithheld(output, manifest, config.server.audience);
    output.json(summary.add("online", online)
                    .add("latest", gd::formatVersion(announced))
                    .add("entries", entryObjects(manifest)));
    if (faulted) return uncheckedEnd(output, notifier);
    printStatus(output, latest > config.server.installedVersion ? "update" : "up-to-date");
    return kExitOk;
}

int updateCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    const bool replace = takeFlag(args, "--replace-launcher");
    if (args.size() != 1) return fail("update needs DIR [--json] [--replace-launcher]");
    const std::string dir = installationArgument(args[0]);
    if (dir.empty()) return kExitInput;

    PrintingReporter reporter(output);
    // A launcher that an earlier run staged comes first: the archives after
    // it are for the new launcher to apply.
    if (const auto staged = gd::findStagedLauncher(dir)) {
        reporter.OnUpdateReport(gd::UpdateReportCode::LauncherUpdate, 0, {});
        if (!handOverLauncher(output, dir, *staged, replace))
            return launcherUpdateEnd(output, std::nullopt);
    }

    // One round per launcher put in place, as the new launcher would go on.
    UpdateRun run;
    for (;;) {
        if (const auto exit = updateRound(output, reporter, dir, replace, run)) return *exit;
    }
}

}  // namespace gdtool

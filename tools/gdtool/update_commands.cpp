// check and update: the engine's network side, driven from a terminal.

#include "commands.h"
#include "terminal_output.h"

#include "fetch/ftp_session.h"
#include "fetch/source_probe.h"
#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "update/update_worker.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace gdtool {

namespace {

// One stdout line per report; a progress bar on stderr when it is a terminal.
class PrintingReporter : public gd::UpdateReporter {
  public:
    PrintingReporter() : drawBar_(::isatty(STDERR_FILENO) == 1) {
        last_.code = gd::UpdateReportCode::Failed;
    }
    using gd::UpdateReporter::OnUpdateReport;

    void OnUpdateReport(const gd::UpdateReport& report) override {
        const gd::UpdateReportCode code = report.code;
        const int value = report.value;
        const std::string& text = report.text;
        last_ = report;
        std::cout << "report=" << static_cast<unsigned>(code) << " value=" << value
                  << " text=" << text << std::endl;
        if (!drawBar_) return;
        if (code == gd::UpdateReportCode::Downloading) {
            drawProgress(report);
        } else if (barShown_) {
            std::cerr << "\r\033[K" << std::flush;
            barShown_ = false;
        }
    }

    const gd::UpdateReport& last() const { return last_; }

  private:
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

    bool drawBar_;
    bool barShown_ = false;
    gd::UpdateReport last_;
};

// What lcopy is to be started with.
void printLauncherReplacement(const std::string& source, const std::string& target) {
    std::cout << "launcher=" << source << '\t' << target << std::endl;
}

}  // namespace

int checkCommand(const Arguments& args) {
    if (args.size() != 1) return fail("check needs DIR");
    const std::string dir = launcherDirArgument(args[0]);
    if (dir.empty()) return fail(kExitInput, "not a directory: " + args[0]);

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    const bool online =
        gd::IsInternetAvailable(config.server.ftpAddress) && gd::ProbeSources(config.server).online;
    StderrNotifier notifier("message=");
    gd::VersionManifest manifest;
    const float latest = gd::FetchLatestVersion(notifier, config.server, manifest);
    printTrustLines(config.server, true);
    std::cout << "online=" << (online ? 1 : 0) << '\n'
              << "latest=" << gd::formatVersion(latest) << '\n';
    printEntries(manifest);
    if (notifier.anyRefused()) return kExitRefused;
    return notifier.shown() ? kExitRefused : kExitOk;
}

int updateCommand(const Arguments& args) {
    if (args.size() != 1) return fail("update needs DIR");
    const std::string dir = launcherDirArgument(args[0]);
    if (dir.empty()) return fail(kExitInput, "not a directory: " + args[0]);

    PrintingReporter reporter;
    // A launcher that an earlier run staged comes first: the archives after
    // it are for the new launcher to apply.
    if (const auto staged = gd::findStagedLauncher(dir)) {
        reporter.OnUpdateReport(gd::UpdateReportCode::LauncherUpdate, 0, {});
        printLauncherReplacement(staged->source, staged->target);
        return kExitLauncherUpdate;
    }

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    StderrNotifier notifier("message=");
    gd::VersionManifest manifest;
    if (!gd::CheckForUpdate(notifier, config, manifest)) {
        // Nothing is updated past a refusal, as after a failed archive.
        if (notifier.anyRefused()) return kExitFailed;
        return notifier.shown() ? kExitRefused : kExitOk;
    }

    {
        gd::UpdateWorker worker(notifier, reporter);
        worker.StartUpdateWorker({dir, config, gd::offerOf(manifest)});
        worker.wait();
    }
    const gd::UpdateReport& last = reporter.last();
    std::cout << "downloaded=" << last.travelled << std::endl;
    switch (last.code) {
        case gd::UpdateReportCode::Completed:
            return kExitOk;
        case gd::UpdateReportCode::LauncherUpdate:
            printLauncherReplacement(last.launcherCopySource, last.launcherCopyTarget);
            return kExitLauncherUpdate;
        default:
            return kExitFailed;
    }
}

}  // namespace gdtool

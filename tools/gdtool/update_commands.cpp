// check and update: the engine's network side, driven from a terminal.

#include "commands.h"

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "update/ftp_session.h"
#include "update/source_probe.h"
#include "update/update_worker.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>

namespace gdtool {

namespace {

// Error boxes become "message=<caption>: <text>" lines on stderr.
class StderrNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        std::lock_guard lock(mutex_);
        std::cerr << "message=" << caption << ": " << text << std::endl;
        shown_ = true;
    }
    void refused(std::string_view reason) override {
        std::lock_guard lock(mutex_);
        std::cerr << "gdtool: " << reason << std::endl;
        refused_ = true;
    }
    void served(std::string_view file, std::string_view source) override {
        std::lock_guard lock(mutex_);
        std::cout << "source=" << file << '\t' << source << std::endl;
    }
    void sourceSkipped(std::string_view source, std::string_view reason) override {
        std::lock_guard lock(mutex_);
        std::cerr << "gdtool: skipping " << source << " for this run: " << reason << std::endl;
    }
    bool shown() const { return shown_; }
    bool anyRefused() const { return refused_; }

  private:
    std::mutex mutex_;
    bool shown_ = false;
    bool refused_ = false;
};

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
            drawProgress(value);
        } else if (barShown_) {
            std::cerr << "\r\033[K" << std::flush;
            barShown_ = false;
        }
    }

    const gd::UpdateReport& last() const { return last_; }

  private:
    void drawProgress(int percent) {
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
                  << percent << "%" << std::flush;
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

void printEntries(const gd::VersionManifest& manifest) {
    for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
        const gd::PatchEntry& entry = manifest.entryAt(i);
        std::cout << "entry=" << entry.label << '\t' << gd::formatVersion(entry.version) << '\t'
                  << entry.archive << '\n';
    }
}

}  // namespace

int checkCommand(const Arguments& args) {
    if (args.size() != 1) return fail("check needs DIR");
    const std::string dir = launcherDirArgument(args[0]);
    if (dir.empty()) return fail("not a directory: " + args[0]);

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    const bool online =
        gd::IsInternetAvailable(config.server.ftpAddress) && gd::ProbeSources(config.server);
    StderrNotifier notifier;
    gd::VersionManifest manifest;
    const float latest = gd::FetchLatestVersion(notifier, config.server, manifest);
    printTrustLines(config.server, true);
    std::cout << "online=" << (online ? 1 : 0) << '\n'
              << "latest=" << gd::formatVersion(latest) << '\n';
    printEntries(manifest);
    if (notifier.anyRefused()) return kExitRefused;
    return notifier.shown() ? kExitScriptError : kExitOk;
}

int updateCommand(const Arguments& args) {
    if (args.size() != 1) return fail("update needs DIR");
    const std::string dir = launcherDirArgument(args[0]);
    if (dir.empty()) return fail("not a directory: " + args[0]);

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
    StderrNotifier notifier;
    gd::VersionManifest manifest;
    if (!gd::CheckForUpdate(notifier, config, manifest)) {
        // Nothing is updated past a refusal, as after a failed archive.
        if (notifier.anyRefused()) return kExitFailed;
        return notifier.shown() ? kExitScriptError : kExitOk;
    }

    {
        gd::UpdateWorker worker(notifier, reporter);
        worker.StartUpdateWorker({dir, config, gd::entriesOf(manifest)});
        worker.wait();
    }
    const gd::UpdateReport& last = reporter.last();
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

// What the update worker tells its front end: report codes, the report
// itself, the handler interface and the texts of its error boxes. Front ends
// that only show reports include this without the worker.
#pragma once

#include "trust/public_key.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

enum class UpdateReportCode : unsigned {
    ListFetching = 0,
    ListFetched = 1,
    Downloading = 2,  // value: percentage of the current archive's bytes to travel
    Completed = 3,
    LauncherUpdate = 4,  // the run ends so that lcopy can replace the launcher
    // text: what failed, as a status line says it: the first sentence of the
    // box of an archive that could not be unpacked or applied, or
    // kBusyStatus; empty otherwise (a download that failed)
    Failed = 5,
    Step = 6,  // text: the step text of the operation about to run
};

// Error boxes of the worker, caption "エラー" (the download's own is
// kDownloadFailedMessage, shown by the sources).
inline constexpr std::string_view kUnpackFailedMessage =
    "パッチの展開に失敗しました。アップデートを終了します。";
inline constexpr std::string_view kApplyFailedMessage =
    "パッチファイルの適応に失敗しました。アップデートを終了します。";
// The status of a run that found another one holding the installation.
inline constexpr std::string_view kBusyStatus = "別のアップデートが実行中です。";

// One report of the worker. What a front end has to take over from the run
// rides on the report that ends it, so that the front end never reads the
// worker's records.
struct UpdateReport {
    UpdateReportCode code = UpdateReportCode::ListFetching;
    int value = 0;
    std::string text;
    // Completed, Failed and LauncherUpdate: the installed version the run
    // leaves behind, as version.dat now holds it.
    float installedVersion = 0;
    // Downloading, Step and Failed: the archive being worked on, as the
    // version list names it, and the version it brings the installation to.
    std::string archive;
    float archiveVersion = 0;
    // Downloading: the bytes of the current archive that travelled so far
    // and those it brings (0 while unknown); a download that continues a kept
    // file counts only what it adds. Completed, Failed and LauncherUpdate:
    // the bytes that travelled in the whole run.
    std::uint64_t travelled = 0;
    std::uint64_t toTravel = 0;
    // Downloading: while a source's transfer waits to try again, the attempt
    // that follows (2 to kChunkAttempts) and how long it waits first; 0
    // otherwise.
    int retryAttempt = 0;
    std::chrono::milliseconds retryWait{0};
    // Failed: another run (the window's or gdtool's) holds the installation;
    // this one changed nothing.
    bool installationBusy = false;
    // LauncherUpdate: the staged new launcher and the launcher it replaces.
    std::string launcherCopySource;
    std::string launcherCopyTarget;
    // Completed, Failed and LauncherUpdate: the keys the installation's
    // config.dat pins now (an archive may have rotated them) and whether its
    // settings are usable, for the front end's next check.
    std::vector<PublicKey> signKeys;
    std::string settingsUnusable;
    // Completed, Failed and LauncherUpdate: the operations of the run that
    // were skipped for mistakes of their scripts, each with its path and why.
    std::vector<std::string> skipped;
};

// The front end's report handler. Runs on the worker thread; the worker waits
// until it returns.
class UpdateReporter {
  public:
    virtual ~UpdateReporter() = default;
    virtual void OnUpdateReport(const UpdateReport& report) = 0;
    // A report that carries no result.
    void OnUpdateReport(UpdateReportCode code, int value, std::string_view text) {
        UpdateReport report;
        report.code = code;
        report.value = value;
        report.text = text;
        OnUpdateReport(report);
    }
};

// "%s  [ %d/%d ] ": the description, two blanks, the 1-based position and the
// count in brackets, one blank.
std::string formatStepText(std::string_view description, std::size_t position, std::size_t count);

}  // namespace gd

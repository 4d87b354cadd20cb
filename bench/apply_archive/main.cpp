// Applies one patch archive that is already on the disk to an installation,
// as an update run does once the download is over, for bench/delta:
//
//   build/bench/apply_archive DIR ARCHIVE whole|delta
//
// Prints the seconds it took; exits 1 when the archive was not applied.

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "trust/content_hash.h"
#include "update/run_directory.h"
#include "update/update_worker.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

class PrintingNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view caption, std::string_view text) override {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                     static_cast<int>(text.size()), text.data());
    }
    void fellBack(std::string_view archive, std::string_view reason) override {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(archive.size()), archive.data(),
                     static_cast<int>(reason.size()), reason.data());
    }
};

class SilentReporter : public gd::UpdateReporter {
  public:
    void OnUpdateReport(const gd::UpdateReport&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: apply_archive DIR ARCHIVE whole|delta\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const gd::ArchiveKind kind =
        std::string(argv[3]) == "delta" ? gd::ArchiveKind::Delta : gd::ArchiveKind::Whole;
    PrintingNotifier notifier;
    SilentReporter reporter;
    gd::UpdateJob job{dir, {}, {}, notifier, reporter};
    gd::loadVersionFile(dir, job.config);
    const gd::RunDirectory run;
    // An update run has loaded the hash library before it applies anything
    // (the signed list's check, the bases' digest before a delta's
    // download); a process of its own would otherwise time that load too.
    (void)gd::hashContent({});
    const auto start = std::chrono::steady_clock::now();
    const bool applied =
        run && gd::ApplyArchiveFile(job, argv[2], run.path() / "unpacked", std::stop_token{}, kind);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.4f\n", took.count());
    return applied ? 0 : 1;
}

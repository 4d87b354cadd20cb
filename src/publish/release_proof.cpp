#include "publish/release_proof.h"

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "update/patch.h"
#include "update/run_directory.h"
#include "update/update_worker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stop_token>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

// The engine's error boxes become lines of the proof's report.
class CollectingNotifier : public gd::Notifier {
  public:
    explicit CollectingNotifier(std::vector<std::string>& lines) : lines_(lines) {}
    void showMessage(std::string_view caption, std::string_view text) override {
        lines_.push_back("the engine reported " + std::string(caption) + ": " + std::string(text));
    }
    void fellBack(std::string_view archive, std::string_view reason) override {
        lines_.push_back("the files of " + std::string(archive) +
                         " could not be rebuilt: " + std::string(reason));
    }

  private:
    std::vector<std::string>& lines_;
};

class SilentReporter : public gd::UpdateReporter {
  public:
    void OnUpdateReport(const gd::UpdateReport&) override {}
};

bool placeFile(const fs::path& from, const fs::path& to) {
    if (::link(from.c_str(), to.c_str()) == 0) return true;
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::none, error);
    return !error;
}

// Copies OLD_TREE into `scratch`, all but version.dat. Folders are made
// writable whatever their mode in OLD_TREE: the publisher's permissions are
// not those of the users' installations.
bool layOutInstallation(const ProofInput& input, const fs::path& scratch,
                        std::vector<std::string>& lines) {
    for (const auto& [path, entry] : input.oldScan) {
        if (path == kVersionFileName) continue;
        const fs::path target = scratch / path;
        const bool placed = entry.folder ? ::mkdir(target.c_str(), 0755) == 0
                                         : placeFile(input.oldTree / path, target);
        if (!placed) {
            lines.push_back("cannot copy " + path + " into the scratch installation");
            return false;
        }
    }
    return true;
}

bool writeVersion(const fs::path& scratch, float installed, float second) {
    return gd::writeEncryptedFile(scratch / kVersionFileName,
                                  gd::formatVersionFile(installed, second));
}

// The update run's steps for one archive that is already on disk.
bool applyArchive(const ProofInput& input, const fs::path& scratch, const fs::path& unpackDir,
                  std::vector<std::string>& lines) {
    const std::string launcherDir = scratch.string() + "/";
    CollectingNotifier notifier(lines);
    SilentReporter reporter;
    gd::UpdateJob job{launcherDir, {}, {}, notifier, reporter};
    gd::loadVersionFile(launcherDir, job.config);
    const gd::VersionManifest& manifest = job.manifest;

    if (!gd::ApplyArchiveFile(job, input.archive, unpackDir, std::stop_token{}, input.kind))
        return false;
    if (!gd::setInstalledVersion(launcherDir, job.config, input.version)) {
        lines.push_back("the engine could not record the version");
        return false;
    }
    // What lcopy does once the launcher has ended: the staged launcher is
    // renamed over the old one.
    std::error_code error;
    if (manifest.launcherUpdatePending())
        fs::rename(manifest.launcherCopySource(), manifest.launcherCopyTarget(), error);
    if (error) {
        lines.push_back("the new launcher could not be put in place");
        return false;
    }
    return true;
}

class ResultCheck {
  public:
    ResultCheck(const ProofInput& input, const fs::path& scratch, const TreeScan& laidOut,
                std::vector<std::string>& lines)
        : input_(input), scratch_(scratch), laidOut_(laidOut), lines_(lines) {}

    void compare(const TreeScan& result) {
        for (const auto& [path, expected] : input_.newScan) {
            if (path == kVersionFileName) continue;
            const auto found = result.find(path);
            if (found == result.end()) {
                lines_.push_back("missing " + path);
            } else if (found->second.folder != expected.folder) {
                lines_.push_back((expected.folder ? "a file instead of the folder "
                                                  : "a folder instead of the file ") +
                                 path);
            } else if (!expected.folder) {
                compareFile(path, expected, found->second);
            }
        }
        for (const auto& [path, entry] : result) {
            if (path != kVersionFileName && !input_.newScan.contains(path))
                lines_.push_back("unexpected " + path + (entry.folder ? "/" : ""));
        }
    }

    void checkVersion() {
        const std::string text =
            gd::readEncryptedFile(scratch_ / kVersionFileName, gd::kVersionFileLimit);
        const float recorded = gd::readVersionNumber(text, 0);
        if (recorded != input_.version) {
            lines_.push_back("version.dat records " + gd::formatVersion(recorded) + ", not " +
                             gd::formatVersion(input_.version));
        }
    }

  private:
    void compareFile(const std::string& path, const TreeEntry& expected, const TreeEntry& actual) {
        if (expected.executable != actual.executable) lines_.push_back("exec bit of " + path);
        if (expected.size != actual.size) {
            lines_.push_back("content of " + path + " (" + std::to_string(actual.size) +
                             " bytes, expected " + std::to_string(expected.size) + ")");
            return;
        }
        // A file the update left alone is still OLD_TREE's: known to match
        // when the two trees agree on it, without reading it again.
        const auto before = laidOut_.find(path);
        if (before != laidOut_.end() && untouchedSince(before->second, actual) &&
            input_.diff.unchangedFiles.contains(path))
            return;
        if (compareFiles(scratch_ / path, input_.newTree / path) != Comparison::Same)
            lines_.push_back("content of " + path);
    }

    const ProofInput& input_;
    const fs::path& scratch_;
    const TreeScan& laidOut_;
    std::vector<std::string>& lines_;
};

}  // namespace

std::vector<std::string> proveRelease(const ProofInput& input) {
    std::vector<std::string> lines;
    const gd::RunDirectory run;
    if (!run) return {"cannot make a private folder under the temporary directory"};
    const fs::path scratch = run.path() / "installation";
    const fs::path unpackDir = run.path() / "unpacked";
    std::error_code error;
    fs::create_directory(scratch, error);
    if (error || !layOutInstallation(input, scratch, lines)) return lines;
    if (!writeVersion(scratch, input.previousVersion, input.secondVersion))
        return {"cannot write the scratch installation's version.dat"};

    std::vector<std::string> scanProblems;
    const auto laidOut = scanTree(scratch, scanProblems);
    if (!laidOut) return {"cannot read the scratch installation"};
    // A failed update still leaves a tree worth comparing: it shows what the
    // failure would cost an installation.
    const bool applied = applyArchive(input, scratch, unpackDir, lines);

    const auto result = scanTree(scratch, scanProblems);
    if (!result) return {"cannot read the updated scratch installation"};
    lines.insert(lines.end(), scanProblems.begin(), scanProblems.end());
    ResultCheck check(input, scratch, *laidOut, lines);
    check.compare(*result);
    if (applied) check.checkVersion();
    return lines;
}

}  // namespace gd::publish

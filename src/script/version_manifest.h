// The installed version (version.dat), the server's version script
// (filelist.dat) and the list of patch archives still to apply.
#pragma once

#include "script/lua_state.h"
#include "script/version_rules.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

struct LauncherConfig;
class Notifier;

// The launcher evaluates no more of filelist.dat than this.
inline constexpr std::size_t kVersionScriptLimit = 4096;

// Texts of the version script's two error boxes.
inline constexpr std::string_view kErrorCaption = "エラー";
inline constexpr std::string_view kVersionScriptLoadError =
    "サーバー上のファイルリストの取得に失敗しました。";
inline constexpr std::string_view kVersionScriptRunError =
    "サーバー上のファイルリストの解析に失敗しました。";

struct PatchEntry {
    std::string label;    // date label, kept but not used
    float version = 0;    // version the archive brings the installation to
    std::string archive;  // file name in the server's update directory
};

// The highest newer version that this installation is not offered (yet), and
// why, so that "up to date" can be told from "not yet".
struct WithheldVersion {
    enum class Reason {
        Staged,        // offered to installations whose number is below the share
        Halted,        // a share of 0: offered to nobody more
        OtherChannel,  // for installations that opted into another channel
        NoWay,         // offered, but no archive leads there from `from`
    };
    float version = 0;
    Reason reason = Reason::Staged;
    int share = 0;        // Staged, Halted, OtherChannel: the release's share
    std::string channel;  // the release's channel; empty for none
    float from = 0;       // NoWay: the version where the way ends
};

// Archives newer than the installed version, in ascending version order, and
// the launcher-replacement request an update script can raise.
// The window fills the entries before a worker starts and never while one runs.
class VersionManifest {
  public:
    void clearEntries() { entries_.clear(); }
    void addEntry(PatchEntry entry) { entries_.push_back(std::move(entry)); }
    std::size_t entryCount() const { return entries_.size(); }
    const PatchEntry& entryAt(std::size_t index) const { return entries_.at(index); }
    // Ascending by version; entries of equal version keep their order.
    void sortEntries();

    // The rules that the list's comments offer beside the chain.
    void setRules(VersionRules rules) { rules_ = std::move(rules); }
    const VersionRules& rules() const { return rules_; }

    void setWithheld(std::optional<WithheldVersion> withheld) { withheld_ = std::move(withheld); }
    const std::optional<WithheldVersion>& withheld() const { return withheld_; }

    void setBaseVersion(float version) { baseVersion_ = version; }
    float baseVersion() const { return baseVersion_; }

    // The script's latest_version as it said it, newer than the
    // installation or not; 0 when it is no finite number.
    void setAnnouncedVersion(float version) { announcedVersion_ = version; }
    float announcedVersion() const { return announcedVersion_; }

    void setLauncherCopy(std::string source, std::string target) {
        launcherCopySource_ = std::move(source);
        launcherCopyTarget_ = std::move(target);
    }
    void markLauncherUpdate() { launcherUpdatePending_ = true; }
    // An archive that asked for a replacement but brought no launcher.
    void cancelLauncherUpdate() { launcherUpdatePending_ = false; }
    bool launcherUpdatePending() const { return launcherUpdatePending_; }
    const std::string& launcherCopySource() const { return launcherCopySource_; }
    const std::string& launcherCopyTarget() const { return launcherCopyTarget_; }

  private:
    std::vector<PatchEntry> entries_;
    VersionRules rules_;
    std::optional<WithheldVersion> withheld_;
    float baseVersion_ = 0;
    float announcedVersion_ = 0;
    std::atomic<bool> launcherUpdatePending_{false};
    std::string launcherCopySource_;
    std::string launcherCopyTarget_;
};

// What a check found to apply: the chain of whole-file archives, in order,
// and the rules beside it (delta archives that may stand in for some of it).
struct UpdateOffer {
    std::vector<PatchEntry> entries;
    VersionRules rules;
    std::optional<WithheldVersion> withheld;  // what the check found not offered
};

// The offer of a filled manifest, for an update run.
UpdateOffer offerOf(const VersionManifest& manifest);

// Number `index` (0 or 1) of the comma-separated version.dat text, read like
// C's atof with a decimal point whatever the locale: a missing piece or one
// without a leading number gives 0.
float readVersionNumber(std::string_view versionText, int index);

// The version.dat text for two versions: "%f,%f" with a decimal point.
std::string formatVersionFile(float installed, float second);
// A version as "%f" with a decimal point, for reports and gdtool.
std::string formatVersion(float version);

// Reads launcherDir/version.dat into config.server.installedVersion and
// config.secondVersion; a missing or empty file is created holding 1 and 1.
void loadVersionFile(const std::string& launcherDir, LauncherConfig& config);
// Rewrites launcherDir/version.dat from the config atomically. False when the
// file could not be replaced (the old content then stays).
bool writeVersionFile(const std::string& launcherDir, const LauncherConfig& config);
// Records a newly applied version in memory and on disk. A version below the
// installed one or not finite is refused (false, nothing changes).
bool setInstalledVersion(const std::string& launcherDir, LauncherConfig& config, float version);

// Runs the deciphered version script, with the safe library set, against the
// installed version and fills the manifest with the archives newer than it, in
// ascending version order (those of equal version in call order), whatever
// order the script lists them in. Returns the latest version when at least one
// archive was listed, 0 otherwise; a latest_version that is not a finite number
// gives 0. A script that does not parse, or whose `filelist` fails, is reported
// through `notifier` under the caption "エラー" and gives 0. So is a list
// that names an archive with an infinite version. The archives
// listed count against the script's memory limit: past it patch.File fails.
// `timeLimit` is for each of the two calls (the chunk, then filelist).
float runVersionScript(Notifier& notifier, std::string_view text, float installedVersion,
                       VersionManifest& manifest,
                       std::chrono::milliseconds timeLimit = kLuaTimeLimit);

}  // namespace gd

#include "publish/release_record.h"

#include "publish/lua_text.h"

#include "script/version_manifest.h"
#include "script/version_rules.h"

#include <algorithm>
#include <charconv>
#include <regex>

namespace gd::publish {

namespace {

constexpr std::string_view kRecordHeader =
    "# Releases published by gdtool release; filelist.dat beside this file is made from it.\n"
    "# One line per release, oldest first: VERSION<TAB>ARCHIVE<TAB>DESCRIPTION\n"
    "# \"#tree VERSION DIGEST\" below a release: the digest of the tree it installs.\n";

constexpr std::string_view kTreePrefix = "#tree ";
constexpr std::string_view kStagedPrefix = "#staged ";
constexpr std::string_view kBridgePrefix = "#bridge ";
constexpr int kFullShare = 100;

// "#tree VERSION DIGEST" after the line of release VERSION.
bool attachTree(std::string_view line, std::vector<Release>& releases, std::string& error) {
    line.remove_prefix(kTreePrefix.size());
    const auto blank = line.find(' ');
    const std::string_view digest =
        blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    if (releases.empty() || line.substr(0, blank) != releases.back().version ||
        !releases.back().tree.empty()) {
        error = "a tree digest must follow the line of its release";
        return false;
    }
    if (digest.size() != 128 || digest.find_first_not_of("0123456789abcdef") != digest.npos) {
        error = "a tree digest is 128 hexadecimal digits";
        return false;
    }
    releases.back().tree = digest;
    return true;
}

bool plainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

// "#bridge FROM ARCHIVE" after the line of the release it leads to.
bool attachBridge(std::string_view line, std::vector<Release>& releases, std::string& error) {
    line.remove_prefix(kBridgePrefix.size());
    const auto blank = line.find(' ');
    Bridge bridge{std::string(line.substr(0, blank)), blank == std::string_view::npos
                                                          ? std::string()
                                                          : std::string(line.substr(blank + 1))};
    std::string ignored;
    if (releases.empty() || !parseReleaseVersion(bridge.from, ignored) ||
        !(gd::readVersionNumber(bridge.from, 0) <
          gd::readVersionNumber(releases.back().version, 0)) ||
        !plainFileName(bridge.archive)) {
        error = "a bridge is \"#bridge FROM ARCHIVE\" below the release it leads to";
        return false;
    }
    releases.back().bridges.push_back(std::move(bridge));
    return true;
}

// SHARE<TAB>CHANNEL after a staged release's FROM.
bool parseAudience(std::string_view fields, Release& release, std::string& error) {
    const auto tab = fields.find('\t');
    const std::string_view share = fields.substr(0, tab);
    const std::string_view channel =
        tab == std::string_view::npos ? std::string_view() : fields.substr(tab + 1);
    int value = -1;
    const auto [end, failed] = std::from_chars(share.data(), share.data() + share.size(), value);
    if (failed != std::errc{} || end != share.data() + share.size() || value < 0 ||
        value > kFullShare || (channel != "-" && !gd::isChannelName(channel))) {
        error = "a staged release ends in SHARE (0 to 100) and CHANNEL (a name, or -)";
        return false;
    }
    release.share = value;
    if (channel != "-") release.channel = std::string(channel);
    if (release.general()) {
        error = "a release of every installation is no staged release";
        return false;
    }
    return true;
}

std::optional<Release> parseLine(std::string_view line, std::string& error) {
    const auto first = line.find('\t');
    const auto second = first == std::string_view::npos ? first : line.find('\t', first + 1);
    if (second == std::string_view::npos) {
        error = "expected VERSION<TAB>ARCHIVE<TAB>DESCRIPTION";
        return std::nullopt;
    }
    Release release;
    release.version = std::string(line.substr(0, first));
    release.archive = std::string(line.substr(first + 1, second - first - 1));
    release.description = std::string(line.substr(second + 1));
    if (!plainFileName(release.archive)) {
        error = "the archive must be a file name in the update directory";
        return std::nullopt;
    }
    return release;
}

// VERSION<TAB>ARCHIVE<TAB>DESCRIPTION<TAB>FROM<TAB>SHARE<TAB>CHANNEL
std::optional<Release> parseStagedLine(std::string_view line, std::string& error) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const auto tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (fields.size() != 6) {
        error =
            "expected #staged VERSION<TAB>ARCHIVE<TAB>DESCRIPTION<TAB>FROM<TAB>SHARE<TAB>CHANNEL";
        return std::nullopt;
    }
    const std::string head =
        std::string(fields[0]) + "\t" + std::string(fields[1]) + "\t" + std::string(fields[2]);
    auto release = parseLine(head, error);
    const std::string audience = std::string(fields[4]) + "\t" + std::string(fields[5]);
    if (!release || !parseAudience(audience, *release, error)) return std::nullopt;
    release->from = std::string(fields[3]);
    if (!parseReleaseVersion(release->from, error)) return std::nullopt;
    return release;
}

}  // namespace

const Release* lastGeneral(const std::vector<Release>& releases) {
    for (auto release = releases.rbegin(); release != releases.rend(); ++release)
        if (release->general()) return &*release;
    return nullptr;
}

std::optional<float> parseReleaseVersion(std::string_view text, std::string& error) {
    static const std::regex kDecimal("[0-9]+(\\.[0-9]+)?");
    if (!std::regex_match(text.begin(), text.end(), kDecimal)) {
        error = "a version is digits with an optional fraction, such as 1.3";
        return std::nullopt;
    }
    const float version = gd::readVersionNumber(text, 0);
    if (gd::readVersionNumber(gd::formatVersion(version), 0) != version) {
        error = "version " + std::string(text) + " is recorded in version.dat as " +
                gd::formatVersion(version) + ", which reads back as another 32-bit float";
        return std::nullopt;
    }
    return version;
}

std::optional<std::vector<Release>> parseRecord(std::string_view text, std::string& error) {
    std::vector<Release> releases;
    std::optional<float> previous;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (line.ends_with('\r')) line.remove_suffix(1);
        std::string problem;
        if ((line.starts_with(kTreePrefix) && !attachTree(line, releases, problem)) ||
            (line.starts_with(kBridgePrefix) && !attachBridge(line, releases, problem))) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return std::nullopt;
        }
        const bool staged = line.starts_with(kStagedPrefix);
        if (staged) line.remove_prefix(kStagedPrefix.size());
        if (line.empty() || (!staged && line.starts_with('#'))) continue;

        auto release = staged ? parseStagedLine(line, problem) : parseLine(line, problem);
        const auto version =
            release ? parseReleaseVersion(release->version, problem) : std::nullopt;
        if (version && previous && !(*version > *previous))
            problem = "version " + release->version + " is not newer than the line before";
        if (!problem.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return std::nullopt;
        }
        previous = version;
        releases.push_back(std::move(*release));
    }
    return releases;
}

std::string recordText(const std::vector<Release>& releases) {
    std::string text(kRecordHeader);
    for (const Release& release : releases) {
        const std::string line =
            release.version + "\t" + release.archive + "\t" + release.description;
        if (release.general()) {
            text += line + "\n";
        } else {
            text += std::string(kStagedPrefix) + line + "\t" + release.from + "\t" +
                    std::to_string(release.share) + "\t" +
                    (release.channel.empty() ? "-" : release.channel) + "\n";
        }
        if (!release.tree.empty())
            text += std::string(kTreePrefix) + release.version + " " + release.tree + "\n";
        for (const Bridge& bridge : release.bridges)
            text += std::string(kBridgePrefix) + bridge.from + " " + bridge.archive + "\n";
    }
    return text;
}

std::string descriptionProblem(std::string_view description) {
    if (description.find_first_of("\t\r\n") != std::string_view::npos)
        return "a description is one line without tabs";
    return {};
}

std::string versionScriptText(const std::vector<Release>& releases) {
    std::string script =
        "-- Made by gdtool release from releases.txt beside it; the next release rewrites it.\n";
    const Release* latest = lastGeneral(releases);
    script += "latest_version = " + (latest ? latest->version : "0") + "\n";
    script += "function filelist(latest)\n";
    for (const Release& release : releases) {
        if (!release.general()) continue;
        script += "    patch.File(" + luaQuoted(release.description) + ", " +
                  luaQuoted(release.version) + ", " + luaQuoted(release.archive) + ")\n";
    }
    return script + "end\n";
}

std::string versionRulesText(const std::vector<Release>& releases,
                             const std::vector<OfferedDelta>& deltas,
                             const std::vector<std::pair<std::string, gd::ContentDigest>>& pins) {
    std::string rules;
    for (const Release& release : releases) {
        if (release.general()) continue;
        rules += std::string(gd::kStageRulePrefix) + release.version + " " + release.from + " " +
                 std::to_string(release.share) + " " +
                 (release.channel.empty() ? "-" : release.channel) + " " +
                 gd::ruleName(release.archive) + "\n";
    }
    for (const Release& release : releases) {
        for (const Bridge& bridge : release.bridges)
            rules += std::string(gd::kBridgeRulePrefix) + bridge.from + " " + release.version +
                     " " + gd::ruleName(bridge.archive) + "\n";
    }
    for (const OfferedDelta& delta : deltas) {
        rules += std::string(gd::kDeltaRulePrefix) + delta.from + " " + delta.to + " " +
                 gd::ruleName(delta.archive);
        if (delta.hash) rules += " " + gd::digestText(gd::digestOf(*delta.hash));
        // Past the fields launchers that read only format 1 accept.
        if (delta.format > 1) rules += (delta.hash ? " " : " - ") + std::to_string(delta.format);
        rules += "\n";
        // Read by launchers before they download the archive; the others skip it.
        if (delta.bases)
            rules += std::string(gd::kBasesRulePrefix) + gd::ruleName(delta.archive) + " " +
                     gd::digestText(*delta.bases) + "\n";
    }
    for (const auto& [archive, digest] : pins) {
        rules += std::string(gd::kPinRulePrefix) + gd::ruleName(archive) + " " +
                 gd::digestText(digest) + "\n";
    }
    return rules;
}

std::string linesWith(std::string_view script, std::initializer_list<std::string_view> prefixes,
                      bool wanted) {
    std::string kept;
    while (!script.empty()) {
        const auto end = script.find('\n');
        const std::string_view line =
            script.substr(0, end == std::string_view::npos ? script.size() : end + 1);
        script.remove_prefix(line.size());
        const bool has =
            std::any_of(prefixes.begin(), prefixes.end(),
                        [&](std::string_view prefix) { return line.starts_with(prefix); });
        if (has != wanted) continue;
        kept += line;
        if (wanted && !line.ends_with('\n')) kept += '\n';
    }
    return kept;
}

std::string withoutRules(std::string_view script) {
    return linesWith(script,
                     {gd::kDeltaRulePrefix, gd::kPinRulePrefix, gd::kBasesRulePrefix,
                      gd::kStageRulePrefix, gd::kBridgeRulePrefix},
                     false);
}

}  // namespace gd::publish

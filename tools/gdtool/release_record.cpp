#include "release_record.h"

#include "lua_text.h"

#include "script/version_manifest.h"
#include "script/version_rules.h"

#include <regex>

namespace gdtool {

namespace {

constexpr std::string_view kRecordHeader =
    "# Releases published by gdtool release; filelist.dat beside this file is made from it.\n"
    "# One line per release, oldest first: VERSION<TAB>ARCHIVE<TAB>DESCRIPTION\n"
    "# \"#tree VERSION DIGEST\" below a release: the digest of the tree it installs.\n";

constexpr std::string_view kTreePrefix = "#tree ";

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

std::optional<Release> parseLine(std::string_view line, std::string& error) {
    const auto first = line.find('\t');
    const auto second = first == std::string_view::npos ? first : line.find('\t', first + 1);
    if (second == std::string_view::npos) {
        error = "expected VERSION<TAB>ARCHIVE<TAB>DESCRIPTION";
        return std::nullopt;
    }
    Release release{std::string(line.substr(0, first)),
                    std::string(line.substr(first + 1, second - first - 1)),
                    std::string(line.substr(second + 1)),
                    {}};
    if (!plainFileName(release.archive)) {
        error = "the archive must be a file name in the update directory";
        return std::nullopt;
    }
    return release;
}

}  // namespace

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
        if (line.starts_with(kTreePrefix) && !attachTree(line, releases, problem)) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return std::nullopt;
        }
        if (line.empty() || line.starts_with('#')) continue;

        auto release = parseLine(line, problem);
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
        text += release.version + "\t" + release.archive + "\t" + release.description + "\n";
        if (!release.tree.empty())
            text += std::string(kTreePrefix) + release.version + " " + release.tree + "\n";
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
    script += "latest_version = " + (releases.empty() ? "0" : releases.back().version) + "\n";
    script += "function filelist(latest)\n";
    for (const Release& release : releases) {
        script += "    patch.File(" + luaQuoted(release.description) + ", " +
                  luaQuoted(release.version) + ", " + luaQuoted(release.archive) + ")\n";
    }
    return script + "end\n";
}

std::string versionRulesText(const std::vector<OfferedDelta>& deltas,
                             const std::vector<std::pair<std::string, gd::ContentDigest>>& pins) {
    std::string rules;
    for (const OfferedDelta& delta : deltas) {
        rules += std::string(gd::kDeltaRulePrefix) + delta.from + " " + delta.to + " " +
                 gd::ruleName(delta.archive);
        if (delta.hash) rules += " " + gd::digestText(gd::digestOf(*delta.hash));
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

std::string withoutRules(std::string_view script) {
    std::string kept;
    while (!script.empty()) {
        const auto end = script.find('\n');
        const std::string_view line =
            script.substr(0, end == std::string_view::npos ? script.size() : end + 1);
        script.remove_prefix(line.size());
        if (!line.starts_with(gd::kDeltaRulePrefix) && !line.starts_with(gd::kPinRulePrefix) &&
            !line.starts_with(gd::kBasesRulePrefix))
            kept += line;
    }
    return kept;
}

}  // namespace gdtool

#include "script/version_rules.h"

#include "script/version_manifest.h"
#include "util/percent_encoding.h"

#include <charconv>
#include <cmath>

namespace gd {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (!line.empty()) {
        const auto end = line.find(' ');
        if (end != 0) out.push_back(line.substr(0, end));
        if (end == std::string_view::npos) break;
        line.remove_prefix(end + 1);
    }
    return out;
}

// A pack format past 1 that this launcher reads, in plain digits.
std::optional<unsigned> packFormat(std::string_view field) {
    unsigned format = 0;
    const auto parsed = std::from_chars(field.data(), field.data() + field.size(), format);
    if (parsed.ec != std::errc{} || parsed.ptr != field.data() + field.size()) return std::nullopt;
    if (format < 2 || format > kDeltaPackFormat) return std::nullopt;
    return format;
}

// FROM TO ARCHIVE [DIGEST [FORMAT]]
std::optional<DeltaRule> deltaRule(const std::vector<std::string_view>& fields) {
    if (fields.size() < 3 || fields.size() > 5) return std::nullopt;
    DeltaRule rule;
    rule.from = readVersionNumber(fields[0], 0);
    rule.to = readVersionNumber(fields[1], 0);
    auto archive = fromRuleName(fields[2]);
    if (!archive || !(rule.to > rule.from)) return std::nullopt;
    rule.archive = std::move(*archive);
    const bool noDigest = fields.size() == 5 && fields[3] == "-";
    if (fields.size() >= 4 && !noDigest && !(rule.digest = parseDigest(fields[3])))
        return std::nullopt;
    if (fields.size() == 5) {
        const auto format = packFormat(fields[4]);
        if (!format) return std::nullopt;
        rule.format = *format;
    }
    return rule;
}

// A rule's version: as patch.File reads it, and never past a float's range,
// which no installation could record.
std::optional<float> ruleVersion(std::string_view field) {
    const float version = readVersionNumber(field, 0);
    if (!std::isfinite(version)) return std::nullopt;
    return version;
}

// 0..100, in plain digits.
std::optional<int> sharePercent(std::string_view field) {
    int share = -1;
    const auto parsed = std::from_chars(field.data(), field.data() + field.size(), share);
    if (parsed.ec != std::errc{} || parsed.ptr != field.data() + field.size()) return std::nullopt;
    if (field.front() == '-' || share > 100) return std::nullopt;
    return share;
}

// VERSION FROM SHARE CHANNEL ARCHIVE
std::optional<StageRule> stageRule(const std::vector<std::string_view>& fields) {
    if (fields.size() != 5) return std::nullopt;
    const auto version = ruleVersion(fields[0]);
    const auto from = ruleVersion(fields[1]);
    const auto share = sharePercent(fields[2]);
    const bool anyChannel = fields[3] == "-";
    auto archive = fromRuleName(fields[4]);
    if (!version || !from || !(*version > *from) || !share || !archive) return std::nullopt;
    if (!anyChannel && !isChannelName(fields[3])) return std::nullopt;
    return StageRule{*version, *from, *share, anyChannel ? std::string() : std::string(fields[3]),
                     std::move(*archive)};
}

// FROM TO ARCHIVE
std::optional<BridgeRule> bridgeRule(const std::vector<std::string_view>& fields) {
    if (fields.size() != 3) return std::nullopt;
    const auto from = ruleVersion(fields[0]);
    const auto to = ruleVersion(fields[1]);
    auto archive = fromRuleName(fields[2]);
    if (!from || !to || !(*to > *from) || !archive) return std::nullopt;
    return BridgeRule{*from, *to, std::move(*archive)};
}

// ARCHIVE DIGEST, as pins and bases give them.
std::optional<std::pair<std::string, ContentDigest>> archiveDigest(std::string_view line) {
    const auto fields = words(line);
    const auto archive = fields.size() == 2 ? fromRuleName(fields[0]) : std::nullopt;
    const auto digest = archive ? parseDigest(fields[1]) : std::nullopt;
    if (!digest) return std::nullopt;
    return std::pair{*archive, *digest};
}

}  // namespace

bool isChannelName(std::string_view name) {
    const auto lowerOrDigit = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    };
    if (name.empty() || name.size() > 32 || !lowerOrDigit(name.front())) return false;
    for (const char c : name.substr(1)) {
        if (!lowerOrDigit(c) && c != '_' && c != '-') return false;
    }
    return true;
}

std::optional<ContentDigest> VersionRules::digestFor(const std::string& archive) const {
    const auto pin = pins.find(archive);
    if (pin != pins.end()) return pin->second;
    for (const DeltaRule& rule : deltas) {
        if (rule.archive == archive && rule.digest) return rule.digest;
    }
    return std::nullopt;
}

VersionRules parseVersionRules(std::string_view text) {
    VersionRules rules;
    std::map<std::string, ContentDigest> bases;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.starts_with(kDeltaRulePrefix)) {
            if (auto rule = deltaRule(words(line.substr(kDeltaRulePrefix.size()))))
                rules.deltas.push_back(std::move(*rule));
        } else if (line.starts_with(kPinRulePrefix)) {
            if (auto pin = archiveDigest(line.substr(kPinRulePrefix.size())))
                rules.pins[pin->first] = pin->second;
        } else if (line.starts_with(kBasesRulePrefix)) {
            if (auto base = archiveDigest(line.substr(kBasesRulePrefix.size())))
                bases[base->first] = base->second;
        } else if (line.starts_with(kStageRulePrefix)) {
            if (auto rule = stageRule(words(line.substr(kStageRulePrefix.size()))))
                rules.stages.push_back(std::move(*rule));
        } else if (line.starts_with(kBridgeRulePrefix)) {
            if (auto rule = bridgeRule(words(line.substr(kBridgeRulePrefix.size()))))
                rules.bridges.push_back(std::move(*rule));
        }
    }
    for (DeltaRule& rule : rules.deltas) {
        if (const auto found = bases.find(rule.archive); found != bases.end())
            rule.bases = found->second;
    }
    return rules;
}

std::string ruleName(std::string_view archive) {
    return percentEncoded(archive);
}

std::optional<std::string> fromRuleName(std::string_view text) {
    auto name = percentDecoded(text);
    if (!name || name->empty()) return std::nullopt;
    return name;
}

}  // namespace gd

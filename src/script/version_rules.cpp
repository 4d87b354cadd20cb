#include "script/version_rules.h"

#include "script/version_manifest.h"

#include <cstdio>

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

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// FROM TO ARCHIVE [DIGEST]
std::optional<DeltaRule> deltaRule(const std::vector<std::string_view>& fields) {
    if (fields.size() != 3 && fields.size() != 4) return std::nullopt;
    DeltaRule rule;
    rule.from = readVersionNumber(fields[0], 0);
    rule.to = readVersionNumber(fields[1], 0);
    auto archive = fromRuleName(fields[2]);
    if (!archive || !(rule.to > rule.from)) return std::nullopt;
    rule.archive = std::move(*archive);
    if (fields.size() == 4 && !(rule.digest = parseDigest(fields[3]))) return std::nullopt;
    return rule;
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
        }
    }
    for (DeltaRule& rule : rules.deltas) {
        if (const auto found = bases.find(rule.archive); found != bases.end())
            rule.bases = found->second;
    }
    return rules;
}

std::string ruleName(std::string_view archive) {
    std::string out;
    for (const char c : archive) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || c == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> fromRuleName(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
        if (low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

}  // namespace gd

#include "script/version_offer.h"

#include <optional>
#include <vector>

namespace gd {

namespace {

// A general release may still carry its stage rule once widened to everyone.
bool isGeneral(const StageRule& stage) {
    return stage.share >= 100 && stage.channel.empty();
}

bool isOffered(const StageRule& stage, const Audience& audience) {
    if (!stage.channel.empty() && stage.channel != audience.channel) return false;
    return stage.share >= 100 || (audience.number && *audience.number < stage.share);
}

struct OfferBasis {
    const std::vector<PatchEntry>& chain;  // ascending, all above the installed version
    const VersionRules& rules;
    const Audience& audience;

    bool inChain(float version) const {
        for (const PatchEntry& entry : chain)
            if (entry.version == version) return true;
        return false;
    }
    bool offeredVersion(float version) const {
        for (const StageRule& stage : rules.stages)
            if (stage.version == version && isOffered(stage, audience)) return true;
        return false;
    }
    // Only stages and bridges name a version that is not the chain's.
    bool isStaged(float version) const {
        for (const StageRule& stage : rules.stages)
            if (stage.version == version && !isGeneral(stage)) return true;
        for (const BridgeRule& bridge : rules.bridges)
            if (bridge.from == version) return true;
        return false;
    }
};

float targetOf(const OfferBasis& basis, float installed) {
    float target = basis.chain.empty() ? installed : basis.chain.back().version;
    for (const StageRule& stage : basis.rules.stages)
        if (stage.version > target && isOffered(stage, basis.audience)) target = stage.version;
    return target;
}

// The next step from `at`, never past `target`; empty when there is no way on.
std::vector<PatchEntry> stepFrom(const OfferBasis& basis, float at, float target) {
    const BridgeRule* bridge = nullptr;
    for (const BridgeRule& candidate : basis.rules.bridges) {
        if (candidate.from != at || candidate.to > target) continue;
        if (!basis.inChain(candidate.to) && !basis.offeredVersion(candidate.to)) continue;
        if (bridge == nullptr || candidate.to > bridge->to) bridge = &candidate;
    }
    if (bridge != nullptr) return {PatchEntry{"bridge", bridge->to, bridge->archive}};

    const StageRule* stage = nullptr;
    for (const StageRule& candidate : basis.rules.stages) {
        if (candidate.from != at || candidate.version > target) continue;
        if (!isOffered(candidate, basis.audience)) continue;
        if (stage == nullptr || candidate.version > stage->version) stage = &candidate;
    }
    // Every archive of the chain's next release, as the chain lists them.
    std::vector<PatchEntry> release;
    if (!basis.isStaged(at)) {
        for (const PatchEntry& entry : basis.chain) {
            if (entry.version <= at || (!release.empty() && entry.version != release[0].version))
                continue;
            release.push_back(entry);
        }
    }
    if (stage != nullptr && (release.empty() || stage->version > release[0].version))
        return {PatchEntry{"staged", stage->version, stage->archive}};
    return release;
}

// The highest version above `reached` that the installation does not get.
std::optional<WithheldVersion> withheldAbove(const OfferBasis& basis, float reached, float target) {
    using Reason = WithheldVersion::Reason;
    std::optional<WithheldVersion> withheld;
    if (reached < target) withheld = WithheldVersion{target, Reason::NoWay, 0, {}, reached};
    for (const StageRule& stage : basis.rules.stages) {
        if (stage.version <= reached || isOffered(stage, basis.audience)) continue;
        if (withheld && stage.version <= withheld->version) continue;
        const Reason reason = !stage.channel.empty() && stage.channel != basis.audience.channel
                                  ? Reason::OtherChannel
                              : stage.share == 0 ? Reason::Halted
                                                 : Reason::Staged;
        withheld = WithheldVersion{stage.version, reason, stage.share, stage.channel, 0.0f};
    }
    return withheld;
}

}  // namespace

float offerToAudience(VersionManifest& manifest, const Audience& audience, float installed,
                      float listed) {
    const VersionRules& rules = manifest.rules();
    if (rules.stages.empty() && rules.bridges.empty()) return listed;
    const UpdateOffer listedOffer = offerOf(manifest);
    const OfferBasis basis{listedOffer.entries, rules, audience};

    const float target = targetOf(basis, installed);
    std::vector<PatchEntry> way;
    float at = installed;
    while (at < target) {
        const std::vector<PatchEntry> step = stepFrom(basis, at, target);
        if (step.empty()) break;
        way.insert(way.end(), step.begin(), step.end());
        at = step.back().version;
    }
    manifest.setWithheld(withheldAbove(basis, at, target));
    manifest.clearEntries();
    for (PatchEntry& entry : way) manifest.addEntry(std::move(entry));
    manifest.setBaseVersion(installed);
    return way.empty() ? 0.0f : at;
}

std::string withheldText(const WithheldVersion& withheld, const Audience& audience) {
    const std::string channel =
        withheld.channel.empty() ? "" : " of the channel " + withheld.channel;
    switch (withheld.reason) {
        case WithheldVersion::Reason::Staged:
            return "staged for " + std::to_string(withheld.share) + "% of installations" + channel +
                   "; this one is " +
                   (audience.number ? "number " + std::to_string(*audience.number)
                                    : "without a number, which the user's settings cannot keep");
        case WithheldVersion::Reason::Halted:
            return "halted: offered to no more installations" + channel;
        case WithheldVersion::Reason::OtherChannel:
            return "for the channel " + withheld.channel + "; this installation is " +
                   (audience.channel.empty() ? "on no channel" : "on " + audience.channel);
        case WithheldVersion::Reason::NoWay:
            return "no archive leads there from " + formatVersion(withheld.from);
    }
    return {};
}

}  // namespace gd

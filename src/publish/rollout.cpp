#include "publish/rollout.h"

#include "publish/list_binding.h"
#include "publish/list_writer.h"
#include "publish/publisher_data.h"
#include "publish/release_keys.h"
#include "publish/server_publication.h"
#include "publish/server_state.h"

#include "script/version_manifest.h"

#include <algorithm>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

Failure badInput(std::string reason) {
    return {Outcome::BadInput, std::move(reason)};
}

// Why `release` (at `index` of `releases`) cannot take `share`, or empty.
std::string shareProblem(const std::vector<Release>& releases, std::size_t index, int share) {
    const Release& release = releases[index];
    if (share < 0 || share > 100) return "a share is 0 to 100 percent";
    if (release.general())
        return "release " + release.version + " goes to every installation already";
    const auto later = std::find_if(releases.begin() + static_cast<long>(index) + 1, releases.end(),
                                    [](const Release& r) { return r.general(); });
    if (later != releases.end())
        return "release " + release.version + " is behind " + later->version +
               ", which every installation is offered: a rollout of it changes nothing";
    if (share < 100 || !release.channel.empty()) return {};
    // It joins the chain: its archive must start where the chain ends.
    const auto before =
        std::find_if(std::make_reverse_iterator(releases.begin() + static_cast<long>(index)),
                     releases.rend(), [](const Release& r) { return r.general(); });
    const std::string chainEnd = before == releases.rend() ? std::string() : before->version;
    if (!chainEnd.empty() && release.from != chainEnd)
        return "release " + release.version + " was built from " + release.from + ", not from " +
               chainEnd + ", where the chain ends";
    return {};
}

}  // namespace

RolloutResult rollout(const RolloutRequest& request) {
    RolloutResult result;
    std::string error;
    auto publication = ServerPublication::begin(request.serverDir, error);
    if (!publication) return result.failure = badInput(error), result;
    result.live = publication->live();
    const auto data = PublisherData::open(result.live, error);
    const PublisherData* record = data ? &*data : nullptr;
    std::optional<std::vector<gd::PublicKey>> keys = std::vector<gd::PublicKey>{};
    if (request.signing) {
        keys = keysForSigning(record, request.signing->key.publicKey(), result.failure);
    } else if (const auto published = record ? record->record(error) : std::nullopt) {
        keys = published->keys;  // to say that the list is signed, not that it is unproved
    }
    if (!keys) return result;
    auto state = readServerState(result.live, record, *keys, result.failure);
    if (!state) return result;
    if (state->signedList && !request.signing)
        return result.failure = badInput(std::string(kVersionScriptName) +
                                         " is signed: give --sign SECFILE to sign the new list"),
               result;
    std::vector<Release> releases = state->releases;
    const auto found = std::find_if(releases.begin(), releases.end(), [&](const Release& release) {
        return release.version == request.version;
    });
    if (found == releases.end())
        return result.failure = badInput("no release " + request.version + " in " +
                                         (result.live / kRecordName).string()),
               result;
    const std::size_t index = static_cast<std::size_t>(found - releases.begin());
    if (error = shareProblem(releases, index, request.share); !error.empty())
        return result.failure = badInput(error), result;
    result.before = found->share;
    result.channel = found->channel;
    found->share = request.share;
    if (found->general()) {
        found->from.clear();
        result.chain = true;
    }

    std::vector<std::pair<std::string, gd::ContentDigest>> pins;
    if (request.signing) pins = listPins(releases, state->rules.pins, result.live, error);
    const auto list = error.empty()
                          ? composeList(releases, deltaRuleLines(state->list), pins, error)
                          : std::nullopt;
    if (!list) return result.failure = badInput(error), result;
    std::optional<SigningRequest> signing = request.signing;
    if (signing) signing->folders = boundFolders(*state, result.live);
    if (!stageList(*publication, releases, *list, signing, error))
        return result.failure = {Outcome::CannotWrite, error}, result;
    result.audit = auditServer(publication->staged(), *keys, result.live);
    if (result.audit.listRefused || result.audit.faulty())
        return result.failure = {Outcome::Refused, {}}, result;
    if (request.dryRun) return result;
    PublishedRecord published{*keys, signing ? signing->folders : std::vector<std::string>{}, {}};
    if (state->published) published.keys = state->published->keys;
    if (!commitRecorded(*publication, record, std::move(published), releases,
                        gd::parseVersionRules(*list), error))
        return result.failure = {Outcome::CannotWrite, error}, result;
    result.published = true;
    return result;
}

}  // namespace gd::publish

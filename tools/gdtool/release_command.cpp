// release: the next patch archive from two installation trees (see
// publish/release.h); here its arguments and what it says.

#include "arguments.h"
#include "command_output.h"
#include "commands.h"

#include "publish/key_files.h"
#include "publish/release.h"
#include "publish/rollout.h"

#include "script/version_manifest.h"

#include <algorithm>
#include <ctime>
#include <iostream>

namespace gdtool {

namespace {

namespace fs = std::filesystem;
namespace pub = gd::publish;

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y/%m/%d", &local);
    return text;
}

struct ReleaseOptions {
    pub::ReleaseRequest request;
    std::optional<fs::path> secretKeyFile;
    std::optional<int> expiresDays;
};

// The options of release and revert; their other words go to `positional`.
std::optional<ReleaseOptions> parseOptions(Arguments args, std::vector<std::string>& positional,
                                           std::string& error) {
    ReleaseOptions options;
    pub::ReleaseRequest& request = options.request;
    request.dryRun = takeFlag(args, "--dry-run");
    std::optional<std::string> expires;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "--description" || arg == "--sign" || arg == "--expires" ||
                                arg == "--catch-up" || arg == "--trees" || arg == "--rollout" ||
                                arg == "--channel";
        if (takesValue && i + 1 == args.size()) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        if (arg == "--description") {
            request.description = args[++i];
        } else if (arg == "--sign") {
            options.secretKeyFile = args[++i];
        } else if (arg == "--expires") {
            expires = args[++i];
        } else if (arg == "--catch-up") {
            const std::string& value = args[++i];
            if (value.empty() || value.size() > 2 ||
                value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(value) > pub::kCatchUpLimit) {
                error = "--catch-up takes a number of versions from 0 to " +
                        std::to_string(pub::kCatchUpLimit);
                return std::nullopt;
            }
            request.catchUp = std::stoi(value);
        } else if (arg == "--trees") {
            request.trees = args[++i];
        } else if (arg == "--rollout") {
            const auto share = parsePercent(args[++i]);
            if (!share || *share == 0) {
                error = "--rollout takes a share of 1 to 100 percent";
                return std::nullopt;
            }
            request.share = *share;
        } else if (arg == "--channel") {
            request.channel = args[++i];
        } else if (arg == "--allow-empty") {
            request.allowEmpty = true;
        } else if (arg == "--change-keys") {
            request.changeKeys = true;
        } else if (arg.starts_with("--")) {
            error = "unknown option " + arg;
            return std::nullopt;
        } else {
            positional.push_back(arg);
        }
    }
    if (expires && !options.secretKeyFile) {
        error = "--expires needs --sign";
        return std::nullopt;
    }
    if (expires && !(options.expiresDays = parseValidDays(*expires))) {
        error = kValidDaysProblem;
        return std::nullopt;
    }
    if (request.description.empty()) request.description = today();
    return options;
}

bool readSigningKey(ReleaseOptions& options, std::string& error) {
    if (!options.secretKeyFile) return true;
    // Read before anything is built, so that a wrong key costs nothing.
    auto key = pub::readSecretKey(*options.secretKeyFile, error);
    if (key) options.request.signing = pub::SigningRequest{std::move(*key), options.expiresDays};
    return key.has_value();
}

// " (to 20 % of the installations in channel beta)", or nothing for a
// release of everyone's.
std::string audienceText(const pub::Release& release) {
    if (release.general()) return {};
    std::string text = " (to " + std::to_string(release.share) + " % of the installations";
    if (!release.channel.empty()) text += " in channel " + release.channel;
    return text + ")";
}

void printPlan(CommandOutput& output, const pub::ReleasePlan& plan) {
    for (const std::string& note : plan.notes)
        output.line(note, JsonObject().add("type", "note").add("text", note));
    for (const std::string& line : plan.diff.summary) {
        output.line(line, JsonObject()
                              .add("type", "change")
                              .add("change", line.substr(0, 1))
                              .add("path", line.substr(2)));
    }
    if (plan.diff.empty()) output.text("(no file or folder changed)");
}

void printProofFailure(CommandOutput& output, const pub::ProofFailure& failure) {
    std::cerr << "gdtool: the proof failed: an installation at " << failure.from << " updated with "
              << failure.archive << " differs from " << failure.target
              << "; nothing was published:\n";
    for (const std::string& line : failure.differences) {
        std::cerr << "  " << line << '\n';
        output.json(JsonObject().add("type", "difference").add("text", line));
    }
}

void printArchives(CommandOutput& output, const pub::ReleasePlan& plan,
                   const pub::ReleaseResult& result) {
    for (const std::string& notice : result.notices)
        output.line("(" + notice + ")", JsonObject().add("type", "note").add("text", notice));
    output.line("archive " + plan.archive + ": " + std::to_string(result.archiveSize) + " bytes",
                JsonObject()
                    .add("type", "archive")
                    .add("archive", plan.archive)
                    .add("bytes", static_cast<long long>(result.archiveSize)));
    for (const pub::Bridge& bridge : result.bridges) {
        output.line("bridge " + bridge.archive + ": from " + bridge.from,
                    JsonObject()
                        .add("type", "bridge")
                        .add("archive", bridge.archive)
                        .add("from", bridge.from));
    }
    for (const pub::OfferedDelta& delta : result.deltas) {
        output.line("delta " + delta.archive + ": from " + delta.from + ", " +
                        std::to_string(delta.size) + " bytes",
                    JsonObject()
                        .add("type", "delta")
                        .add("archive", delta.archive)
                        .add("from", delta.from)
                        .add("bytes", static_cast<long long>(delta.size)));
    }
}

void printOutcome(CommandOutput& output, const pub::ReleasePlan& plan,
                  const pub::ReleaseResult& result, const ReleaseOptions& options) {
    const std::string live = plan.publication.live().string();
    const std::string& version = plan.request.version;
    if (!result.published) {
        output.line("proved " + plan.archive + " as version " + version +
                        "; nothing was published in " + live + " (--dry-run)",
                    JsonObject()
                        .add("type", "proved")
                        .add("archive", plan.archive)
                        .add("version", version)
                        .add("server", live));
        return;
    }
    const pub::Release& made = plan.releases.back();
    output.line(
        "published " + plan.archive + " as version " + version + " in " + live + audienceText(made),
        JsonObject()
            .add("type", "published")
            .add("archive", plan.archive)
            .add("version", version)
            .add("server", live)
            .add("share", made.share)
            .add("channel", made.channel));
    if (!result.keepProblem.empty()) std::cerr << "gdtool: " << result.keepProblem << '\n';
    if (result.notSignedByKey.empty()) return;
    std::string names;
    for (const std::string& name : result.notSignedByKey)
        names += (names.empty() ? "" : ", ") + name;
    std::cerr << "gdtool: not signed by this key: " << names
              << "; a new installation replays every earlier archive and would refuse these. "
                 "To sign them: gdtool resign "
              << live << " " << options.secretKeyFile->string() << " --archives\n";
}

// Builds, proves and publishes a planned release, saying what it did.
int release(std::optional<pub::ReleasePlan> plan, const pub::Failure& failure,
            const ReleaseOptions& options, CommandOutput& output) {
    if (!plan) return fail(output, exitCodeOf(failure.outcome), failure.reason);
    printPlan(output, *plan);
    const pub::ReleaseResult result = pub::carryOut(*plan);
    if (result.proofFailure) printProofFailure(output, *result.proofFailure);
    if (result.failure) {
        const int code = exitCodeOf(result.failure.outcome);
        if (!result.failure.reason.empty()) return fail(output, code, result.failure.reason);
        output.json(JsonObject()
                        .add("type", "refused")
                        .add("exit", code)
                        .add("reason", "the proof failed; nothing was published"));
        return code;
    }
    printArchives(output, *plan, result);
    printOutcome(output, *plan, result, options);
    return kExitOk;
}

}  // namespace

int releaseCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    std::string error;
    std::vector<std::string> positional;
    auto options = parseOptions(args, positional, error);
    if (!options) return fail(error);
    if (positional.size() != 4)
        return fail("release needs SERVER_DIR, OLD_TREE, NEW_TREE and VERSION");
    pub::ReleaseRequest& request = options->request;
    request.serverDir = positional[0];
    request.oldTree = positional[1];
    request.newTree = positional[2];
    request.version = positional[3];
    if (!readSigningKey(*options, error)) return fail(output, kExitInput, error);
    pub::Failure failure;
    auto plan = pub::planRelease(request, failure);
    return release(std::move(plan), failure, *options, output);
}

int revertCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    std::string good, error;
    const auto to = std::find(args.begin(), args.end(), "--to");
    if (to == args.end() || to + 1 == args.end())
        return fail("revert needs --to GOOD_VERSION, the release whose tree to publish anew");
    good = *(to + 1);
    args.erase(to, to + 2);
    std::vector<std::string> positional;
    auto options = parseOptions(args, positional, error);
    if (!options) return fail(error);
    if (positional.size() != 2) return fail("revert needs SERVER_DIR and VERSION");
    if (options->request.share != 100 || !options->request.channel.empty())
        return fail("a revert goes to every installation: --rollout and --channel do not apply");
    options->request.serverDir = positional[0];
    options->request.version = positional[1];
    if (!readSigningKey(*options, error)) return fail(output, kExitInput, error);
    pub::Failure failure;
    auto plan = pub::planRevert(options->request, good, failure);
    return release(std::move(plan), failure, *options, output);
}

int rolloutCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    pub::RolloutRequest request;
    request.dryRun = takeFlag(args, "--dry-run");
    std::vector<std::string> positional;
    std::optional<std::string> secretKey, expires;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--sign" || args[i] == "--expires") && i + 1 == args.size())
            return fail(args[i] + " needs a value");
        if (args[i] == "--sign") {
            secretKey = args[++i];
        } else if (args[i] == "--expires") {
            expires = args[++i];
        } else if (args[i].starts_with("--")) {
            return fail("unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 3) return fail("rollout needs SERVER_DIR, VERSION and PERCENT");
    const auto share = parsePercent(positional[2]);
    if (!share) return fail("PERCENT is a whole number from 0 (halted) to 100 (everyone)");
    std::optional<int> days;
    if (expires && !(days = parseValidDays(*expires))) return fail(kValidDaysProblem);
    std::string error;
    if (secretKey) {
        auto key = pub::readSecretKey(*secretKey, error);
        if (!key) return fail(output, kExitInput, error);
        request.signing = pub::SigningRequest{std::move(*key), days};
    }
    request.serverDir = positional[0];
    request.version = positional[1];
    request.share = *share;
    const pub::RolloutResult result = pub::rollout(request);
    if (result.failure.outcome == pub::Outcome::Refused)
        return printAudit(output, result.live, result.audit);
    if (result.failure)
        return fail(output, exitCodeOf(result.failure.outcome), result.failure.reason);
    const std::string what = result.chain ? "every installation (an ordinary release)"
                             : request.share == 0
                                 ? "nobody new (halted)"
                                 : std::to_string(request.share) + " % of the installations";
    const std::string channel = result.channel.empty() ? "" : " in channel " + result.channel;
    output.line((result.published ? "version " : "would offer version ") + request.version +
                    " to " + what + channel + ", was " + std::to_string(result.before) + " %" +
                    (result.published ? "" : " (--dry-run: nothing was published)"),
                JsonObject()
                    .add("type", result.published ? "rollout" : "proved")
                    .add("version", request.version)
                    .add("share", request.share)
                    .add("before", result.before)
                    .add("channel", result.channel)
                    .add("chain", result.chain));
    return kExitOk;
}

}  // namespace gdtool

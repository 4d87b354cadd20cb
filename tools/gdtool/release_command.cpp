// release: the next patch archive from two installation trees (see
// publish/release.h); here its arguments and what it says.

#include "arguments.h"
#include "command_output.h"
#include "commands.h"

#include "publish/key_files.h"
#include "publish/release.h"

#include "script/version_manifest.h"

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

std::optional<ReleaseOptions> parseOptions(Arguments args, std::string& error) {
    ReleaseOptions options;
    pub::ReleaseRequest& request = options.request;
    request.dryRun = takeFlag(args, "--dry-run");
    std::vector<std::string> positional;
    std::optional<std::string> expires;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "--description" || arg == "--sign" || arg == "--expires" ||
                                arg == "--catch-up" || arg == "--trees";
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
    if (positional.size() != 4) {
        error = "release needs SERVER_DIR, OLD_TREE, NEW_TREE and VERSION";
        return std::nullopt;
    }
    if (expires && !options.secretKeyFile) {
        error = "--expires needs --sign";
        return std::nullopt;
    }
    if (expires && !(options.expiresDays = parseValidDays(*expires))) {
        error = kValidDaysProblem;
        return std::nullopt;
    }
    request.serverDir = positional[0];
    request.oldTree = positional[1];
    request.newTree = positional[2];
    request.version = positional[3];
    if (request.description.empty()) request.description = today();
    return options;
}

void printPlan(CommandOutput& output, const pub::ReleasePlan& plan) {
    if (!plan.note.empty())
        output.line(plan.note, JsonObject().add("type", "note").add("text", plan.note));
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

void printDeltas(CommandOutput& output, const pub::ReleaseResult& result) {
    for (const std::string& notice : result.notices) output.text("(" + notice + ")");
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
    output.line("published " + plan.archive + " as version " + version + " in " + live,
                JsonObject()
                    .add("type", "published")
                    .add("archive", plan.archive)
                    .add("version", version)
                    .add("server", live));
    if (!result.keepProblem.empty())
        std::cerr << "gdtool: " << result.keepProblem
                  << "; later releases offer fewer delta archives\n";
    if (result.notSignedByKey.empty()) return;
    std::string names;
    for (const std::string& name : result.notSignedByKey)
        names += (names.empty() ? "" : ", ") + name;
    std::cerr << "gdtool: not signed by this key: " << names
              << "; a new installation replays every earlier archive and would refuse these. "
                 "To sign them: gdtool resign "
              << live << " " << options.secretKeyFile->string() << " --archives\n";
}

int release(ReleaseOptions& options, CommandOutput& output) {
    std::string error;
    if (options.secretKeyFile) {
        // Read before anything is built, so that a wrong key costs nothing.
        auto key = pub::readSecretKey(*options.secretKeyFile, error);
        if (!key) return fail(kExitInput, error);
        options.request.signing = pub::SigningRequest{std::move(*key), options.expiresDays};
    }
    pub::Failure failure;
    auto plan = pub::planRelease(options.request, failure);
    if (!plan) return fail(exitCodeOf(failure.outcome), failure.reason);
    printPlan(output, *plan);
    const pub::ReleaseResult result = pub::carryOut(*plan);
    if (result.proofFailure) printProofFailure(output, *result.proofFailure);
    if (result.failure) {
        if (result.failure.reason.empty()) return exitCodeOf(result.failure.outcome);
        return fail(exitCodeOf(result.failure.outcome), result.failure.reason);
    }
    printDeltas(output, result);
    printOutcome(output, *plan, result, options);
    return kExitOk;
}

}  // namespace

int releaseCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    std::string error;
    auto options = parseOptions(args, error);
    if (!options) return fail(error);
    return release(*options, output);
}

}  // namespace gdtool

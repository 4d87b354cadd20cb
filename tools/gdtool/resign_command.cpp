// resign: the one regular chore of a signed server, done in one step. The
// signature of filelist.dat lasts 30 days by default; launchers refuse the
// list after that and see no update until it is signed anew.

#include "command_output.h"
#include "commands.h"
#include "key_files.h"
#include "list_binding.h"
#include "release_record.h"
#include "release_signing.h"
#include "server_publication.h"

#include "script/encrypted_script.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "trust/content_hash.h"
#include "trust/signature_file.h"

#include <filesystem>
#include <iostream>
#include <set>

namespace gdtool {

namespace {

namespace fs = std::filesystem;

struct ResignOptions {
    fs::path serverDir, secretKeyFile;
    std::optional<int> expiresDays;
    bool archives = false;  // every listed archive too, as after a key rotation
    // --folder: the update folders the list is for; none given: those its
    // signature names now (see list_binding.h).
    std::vector<std::string> folders;
};

std::optional<ResignOptions> parseOptions(Arguments args, std::string& error) {
    ResignOptions options;
    options.archives = takeFlag(args, "--archives");
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--folder" && i + 1 < args.size()) {
            options.folders.push_back(args[++i]);
        } else if (args[i] != "--expires") {
            positional.push_back(args[i]);
        } else if (i + 1 == args.size() || !(options.expiresDays = parseValidDays(args[++i]))) {
            error = kValidDaysProblem;
            return std::nullopt;
        }
    }
    if (positional.size() != 2) {
        error =
            "resign needs SERVER_DIR and SECFILE [--expires DAYS] [--archives] "
            "[--folder PATH]...";
        return std::nullopt;
    }
    options.serverDir = positional[0];
    options.secretKeyFile = positional[1];
    return options;
}

class SilentNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view, std::string_view) override {}
};

// Every archive the version script lists for an installation at version 0
// or at any version it lists, as audit finds them: those are the ones a
// fresh installation replays; and the delta archives of its rules.
std::set<std::string> listedArchives(const fs::path& versionScript) {
    const std::string script = gd::readEncryptedFile(versionScript, gd::kVersionScriptLimit);
    std::set<std::string> archives;
    std::set<float> versions{0.0f}, evaluated;
    SilentNotifier notifier;
    while (!versions.empty()) {
        const float version = *versions.begin();
        versions.erase(versions.begin());
        if (!evaluated.insert(version).second) continue;
        gd::VersionManifest manifest;
        gd::runVersionScript(notifier, script, version, manifest);
        for (std::size_t i = 0; i < manifest.entryCount(); ++i) {
            archives.insert(manifest.entryAt(i).archive);
            if (!evaluated.contains(manifest.entryAt(i).version))
                versions.insert(manifest.entryAt(i).version);
        }
    }
    // The delta archives that launchers reading the rules fetch instead.
    for (const gd::DeltaRule& rule : gd::parseVersionRules(script).deltas)
        archives.insert(rule.archive);
    return archives;
}

// NAME.minisig beside NAME in the staged tree, over the hash of what NAME
// holds there (the live file, linked).
bool signStaged(ServerPublication& publication, const SigningRequest& request,
                const std::string& name, CommandOutput& output, std::string& error) {
    const auto hash = gd::hashFile(publication.staged() / name);
    if (!hash) {
        error = "cannot read " + (publication.live() / name).string();
        return false;
    }
    const auto text = signatureFor(request, name, *hash, error);
    const std::string signature = name + std::string(gd::kSignatureSuffix);
    if (!text || !publication.writeFile(signature, *text, error)) return false;
    output.line("signed=" + signature, JsonObject().add("type", "signed").add("file", signature));
    return true;
}

}  // namespace

int resignCommand(const Arguments& args) {
    Arguments rest = args;
    CommandOutput output(takeFlag(rest, "--json"));
    std::string error;
    const auto options = parseOptions(rest, error);
    if (!options) return fail(error);
    auto key = readSecretKey(options->secretKeyFile, error);
    if (!key) return fail(kExitInput, error);
    SigningRequest request{*key, options->expiresDays};

    auto publication = ServerPublication::begin(options->serverDir, error);
    if (!publication) return fail(kExitInput, error);
    const fs::path list = publication->staged() / kVersionScriptName;
    std::error_code failure;
    if (!fs::is_regular_file(list, failure))
        return fail(kExitInput,
                    "no " + std::string(kVersionScriptName) + " in " + options->serverDir.string());
    request.folders =
        !options->folders.empty() ? options->folders : signedFolders(list, key->publicKey());
    if (request.folders.empty())
        std::cerr << "gdtool: " << kVersionScriptName
                  << " is signed for installations in any update folder; --folder PATH binds it "
                     "to those whose DUREDOR_FTP_PATH is PATH\n";
    if (options->archives) {
        for (const std::string& archive : listedArchives(list)) {
            // A listed archive that is missing is the audit's to report.
            if (fs::is_regular_file(publication->staged() / archive, failure) &&
                !signStaged(*publication, request, archive, output, error))
                return fail(kExitOutput, error);
        }
    }
    if (!signStaged(*publication, request, kVersionScriptName, output, error) ||
        !publication->commit(error))
        return fail(kExitOutput, error);
    return auditServer(output, publication->live(), {key->publicKey()});
}

}  // namespace gdtool

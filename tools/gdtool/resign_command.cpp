// resign: filelist.dat (and with --archives every listed archive) signed
// anew in one step (see publish/resign.h), then audited.

#include "arguments.h"
#include "command_output.h"
#include "commands.h"

#include "publish/audit.h"
#include "publish/key_files.h"
#include "publish/resign.h"

#include <iostream>

namespace gdtool {

namespace {

namespace fs = std::filesystem;
namespace pub = gd::publish;

struct ResignOptions {
    fs::path serverDir, secretKeyFile;
    std::optional<int> expiresDays;
    bool archives = false;
    std::vector<std::string> folders;  // --folder: the update folders the list is for
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
            "resign needs SERVER_DIR and SECFILE [--expires DAYS] [--archives] [--folder PATH]...";
        return std::nullopt;
    }
    options.serverDir = positional[0];
    options.secretKeyFile = positional[1];
    return options;
}

}  // namespace

int resignCommand(const Arguments& args) {
    Arguments rest = args;
    CommandOutput output(takeFlag(rest, "--json"));
    std::string error;
    const auto options = parseOptions(rest, error);
    if (!options) return fail(error);
    auto key = pub::readSecretKey(options->secretKeyFile, error);
    if (!key) return fail(output, kExitInput, error);

    const pub::ResignResult result = pub::resign({options->serverDir,
                                                  {std::move(*key), options->expiresDays},
                                                  options->archives,
                                                  options->folders});
    if (result.failure.outcome == pub::Outcome::Refused) {
        std::cerr << "gdtool: the result fails the audit; nothing was signed\n";
        return printAudit(output, result.live, result.audit);
    }
    if (result.failure)
        return fail(output, exitCodeOf(result.failure.outcome), result.failure.reason);
    if (result.folders.empty())
        std::cerr << "gdtool: filelist.dat is signed for installations in any update folder; "
                     "--folder PATH binds it to those whose DUREDOR_FTP_PATH is PATH\n";
    for (const std::string& signature : result.signedFiles)
        output.line("signed=" + signature,
                    JsonObject().add("type", "signed").add("file", signature));
    return printAudit(output, result.live, result.audit);
}

}  // namespace gdtool

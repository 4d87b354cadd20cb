#include "command_help.h"

#include <algorithm>
#include <array>
#include <utility>

namespace gdtool {

namespace {

struct CommandUsage {
    std::string_view name;
    std::string_view synopsis;     // lines without their breaks, between them '\n'
    std::string_view description;  // one paragraph, wrapped when printed
};

constexpr std::size_t kLineWidth = 88;
constexpr std::size_t kDescriptionColumn = 22;

constexpr std::array<CommandUsage, 17> kCommands = {{
    {"encrypt", "encrypt IN OUT",
     "encipher IN into OUT with the script password ('-' = stdin/stdout)"},
    {"decrypt", "decrypt IN OUT", "decipher likewise"},
    {"config", "config DIR [--json] [--show-password]",
     "load DIR/config.dat and DIR/version.dat as the launcher does (creating version.dat when "
     "missing) and print the settings, the FTP password as <hidden> unless --show-password; "
     "exit 3 when DIR holds no config.dat (nothing is created then)"},
    {"filelist", "filelist FILE VER [--number N] [--channel NAME]",
     "evaluate the enciphered version script FILE against the installed version VER and print "
     "latest= and entry= lines, and a delta= line per delta archive its rules offer; for a list "
     "that stages releases, what an installation of number N (0 to 99) and channel NAME is "
     "offered, and a withheld= line for the newer version it is not"},
    {"check", "check DIR [--json]",
     "online test, probe and version check for the installation in DIR; a withheld= line names "
     "a newer version it is not offered yet, and why; ends with "
     "status=up-to-date, status=update, status=refused: REASON (exit 1) or status=failed: REASON "
     "(exit 5)"},
    {"channel", "channel DIR [NAME | --none] [--json]",
     "say the channel that the installation in DIR opted into (channel=, empty for none) and its "
     "own number (number=, 0 to 99, drawn once per folder and kept in the user's settings), "
     "which decide the staged releases it is offered; NAME opts it into a channel, --none out "
     "of any"},
    {"update", "update DIR [--json] [--replace-launcher]",
     "check, then update the installation in DIR (saying withheld= as check does); one report= "
     "line per report (naming the archive and version worked on), error boxes as message= "
     "lines on stderr, the bytes downloaded as downloaded=; ends with a status= line. Exit 4 "
     "when lcopy is to replace the launcher, also while an earlier one waits in "
     "DIR/GrooveDeck.new; with --replace-launcher DIR/lcopy puts it in place then (without "
     "starting it), unless a launcher is running, and the update goes on with the archives "
     "after it. Exit 7 (status=busy) when another update of DIR runs: this one changes nothing"},
    {"pack", "pack OUT.zip SCRIPT DIR",
     "build a patch archive of every file under DIR plus SCRIPT enciphered as update.dat at the "
     "archive root; links and special files are refused"},
    {"release",
     "release SERVER_DIR OLD_TREE NEW_TREE VERSION [--description TEXT]\n"
     "        [--sign SECFILE [--expires DAYS]] [--allow-empty] [--change-keys]\n"
     "        [--rollout PERCENT] [--channel NAME] [--catch-up K] [--trees DIR]\n"
     "        [--dry-run] [--json]",
     "the next patch archive from two installation trees, proved by applying it to a copy "
     "of OLD_TREE, then published in SERVER_DIR with filelist.dat rewritten from its record "
     "releases.txt; with --sign (a key that the trees' config.dat trusts), the archives and "
     "filelist.dat signed as by sign, the list for the update folders of OLD_TREE's and "
     "NEW_TREE's config.dat. First the update directory must be as gdtool last published it "
     "(its record is kept in $XDG_DATA_HOME/groovedeck-publisher) and a signed list must "
     "verify. OLD_TREE must be the tree of the last release that everyone is offered; "
     "--allow-empty publishes a release that changes nothing, --change-keys one whose "
     "config.dat names other publisher keys. --rollout offers VERSION to that share of the "
     "installations, --channel only to those in channel NAME; each staged release the new one "
     "follows gets a bridge from its tree. Delta archives from the last K versions whose trees "
     "are kept (5 by default; the trees of releases are kept beside the record unless --trees "
     "DIR) rebuild the files from the installed ones, where they save bytes. With --dry-run it "
     "prints the changes and runs the proofs, and publishes nothing"},
    {"rollout",
     "rollout SERVER_DIR VERSION PERCENT [--sign SECFILE [--expires DAYS]]\n"
     "        [--dry-run] [--json]",
     "offer the staged release VERSION to PERCENT of the installations (of its channel): "
     "widening keeps everyone who has it and adds more, 100 makes it an ordinary release "
     "(the original launcher sees it then), 0 halts it; the list is signed anew and audited "
     "before it goes live"},
    {"revert",
     "revert SERVER_DIR VERSION --to GOOD_VERSION [--sign SECFILE [--expires DAYS]]\n"
     "        [--description TEXT] [--catch-up K] [--trees DIR] [--dry-run] [--json]",
     "publish the kept tree of GOOD_VERSION as the new VERSION to everyone: installations "
     "that took a staged (or halted) release go back in one step (a delta from its tree, or "
     "a bridge), the others take an archive of nothing and never the staged release"},
    {"audit", "audit SERVER_DIR [--pub PUBFILE]... [--json]",
     "evaluate filelist.dat at every version it knows and check every archive it lists, "
     "every staged release and bridge, and every delta archive its rules offer; with "
     "--pub (once per trusted key), signatures first, and nothing refused is run or "
     "unpacked (without --pub it says so); a list whose signature expires within 7 days is a "
     "warning; the share and channel of each staged release; one line per problem"},
    {"resign",
     "resign SERVER_DIR SECFILE [--expires DAYS] [--archives] [--folder PATH]... [--json]",
     "sign SERVER_DIR/filelist.dat anew (30 days unless DAYS says otherwise; with --archives every "
     "archive it names and pins too), in one step as release publishes, after the result "
     "passed the audit. Only what gdtool published is signed: the list as signed by a key "
     "installations trust (or as gdtool's record has it), with a key they trust; anything "
     "else is refused by name and nothing changes. The list stays for the update folders it "
     "is signed for, or is for each PATH given"},
    {"keygen", "keygen PUBFILE SECFILE",
     "make a minisign key pair (the secret key without password, mode 0600); never overwrites"},
    {"sign", "sign SECFILE [--expires DAYS] [--folder PATH]... FILE...",
     "write FILE.minisig for each FILE; filelist.dat expires after 30 days unless DAYS says "
     "otherwise, and is for installations whose DUREDOR_FTP_PATH is a PATH given (any without)"},
    {"verify", "verify PUBFILE FILE", "check FILE against FILE.minisig as the launcher would"},
    {"help", "COMMAND --help", "the usage of one command"},
}};

// What `gdtool COMMAND --help` adds for the commands that have it: the exit
// codes the command can end with, and an example. The others show every
// exit code.
struct CommandDetails {
    std::string_view name;
    std::string_view exitCodes;  // lines, each ending in '\n'
    std::string_view example;
};

constexpr std::string_view kJsonNote =
    "--json prints one JSON object per line on stdout instead of the text lines; see\n"
    "gdtool(1)\n";

constexpr std::array<CommandDetails, 16> kDetails = {{
    {"encrypt", "  0 done   2 usage   3 IN cannot be read   6 OUT cannot be written\n",
     "gdtool encrypt config.lua ~/.local/groovedeck/config.dat"},
    {"decrypt", "  0 done   2 usage   3 IN cannot be read   6 OUT cannot be written\n",
     "gdtool decrypt ~/.local/groovedeck/version.dat -"},
    {"config",
     "  0 done   1 the settings cannot be used (unusable= says why)   2 usage\n"
     "  3 DIR is no installation\n",
     "gdtool config ~/.local/groovedeck --show-password"},
    {"filelist",
     "  0 done   1 the script failed   2 usage\n"
     "  3 FILE cannot be read or VER is no number\n",
     "gdtool filelist server/update/filelist.dat 1.0"},
    {"check",
     "  0 done (an update or none)   1 refused: a script, signature or setting\n"
     "  2 usage   3 DIR is no installation   5 the server does not answer, refuses the\n"
     "  login or lacks the folder\n",
     "gdtool check ~/.local/groovedeck"},
    {"channel",
     "  0 done   2 usage   3 DIR is no installation, or NAME is no channel's name\n"
     "  6 the user's settings cannot be written\n",
     "gdtool channel ~/.local/groovedeck beta"},
    {"pack",
     "  0 done   2 usage   3 SCRIPT or a file under DIR cannot be read, or DIR holds a link or\n"
     "  a special file   6 OUT.zip cannot be written\n",
     "gdtool pack patch.zip update.lua stage"},
    {"update",
     "  0 updated or up to date   1 the version script failed   2 usage\n"
     "  3 DIR is no installation\n"
     "  4 lcopy is to replace the launcher (launcher= line)   5 refused, or the server,\n"
     "  the network or an archive failed; the installation is as the last good archive\n"
     "  left it\n",
     "gdtool update ~/.local/groovedeck --replace-launcher"},
    {"release",
     "  0 published (or proved, with --dry-run)   1 a proof failed   2 usage\n"
     "  3 refused: a tree, key, version or the update directory cannot be built on\n"
     "  6 what was to be written could not be\n",
     "gdtool release server/update trees/1.2 trees/1.3 1.3 --sign publisher.sec --rollout 20"},
    {"rollout",
     "  0 done   1 the result fails the audit   2 usage\n"
     "  3 refused: no such staged release, or the update directory cannot be built on\n"
     "  6 what was to be written could not be\n",
     "gdtool rollout server/update 1.3 100 --sign publisher.sec"},
    {"revert",
     "  0 published   1 a proof failed   2 usage\n"
     "  3 refused: a tree is not kept, or the update directory cannot be built on\n"
     "  6 what was to be written could not be\n",
     "gdtool revert server/update 1.4 --to 1.2 --sign publisher.sec"},
    {"audit", "  0 no problem   1 a problem (one line each)   2 usage   3 no filelist.dat\n",
     "gdtool audit server/update --pub publisher.pub"},
    {"resign",
     "  0 signed and audited   1 the result fails the audit; nothing was signed   2 usage\n"
     "  3 refused: a file cannot be proved the publisher's, or the key is not trusted\n"
     "  6 what was to be written could not be\n",
     "gdtool resign server/update publisher.sec --expires 30"},
    {"keygen", "  0 done   2 usage   6 a file cannot be written or exists already\n",
     "gdtool keygen publisher.pub publisher.sec"},
    {"sign",
     "  0 done   2 usage   3 the key or a FILE cannot be read\n"
     "  6 a signature cannot be written\n",
     "gdtool sign publisher.sec --expires 7 server/update/filelist.dat"},
    {"verify",
     "  0 accepted   1 refused (the reason on stderr)   2 usage\n"
     "  3 the key or FILE cannot be read\n",
     "gdtool verify publisher.pub server/update/filelist.dat"},
}};

constexpr std::string_view kExitCodes =
    "exit codes:\n"
    "  0 done   1 refused: a script, signature, setting, audit or proof found fault\n"
    "  2 usage  3 input: a named file, folder, key or version cannot be read or used\n"
    "  4 update: lcopy is to replace the launcher   5 check, update: the server, the\n"
    "  network or an archive failed   6 output: what gdtool was to write could not be\n"
    "  written   7 update: another update of the installation runs\n"
    "--json prints one JSON object per line on stdout instead of the text lines; see\n"
    "gdtool(1)\n";

// `text` in lines of at most `width` columns, each after `indent` blanks,
// except that the first line goes on after `first` (already written).
std::string wrapped(std::string_view text, std::size_t indent, std::size_t first) {
    std::string out;
    std::size_t column = first;
    while (!text.empty()) {
        const std::size_t end = text.find(' ');
        const std::string_view word = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (column > indent && column + 1 + word.size() > kLineWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
    }
    return out + "\n";
}

struct SynopsisOption {
    std::string_view name;
    bool takesValue;  // followed by a placeholder such as DAYS
};

std::string_view withoutBrackets(std::string_view token) {
    while (token.starts_with('[')) token.remove_prefix(1);
    while (token.ends_with(']') || token.ends_with('.')) token.remove_suffix(1);
    return token;
}

bool isPlaceholder(std::string_view token) {
    return !token.empty() && std::all_of(token.begin(), token.end(),
                                         [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// The options a synopsis names, with whether a value follows each.
std::vector<SynopsisOption> optionsOf(std::string_view synopsis) {
    std::vector<std::string_view> tokens;
    while (!synopsis.empty()) {
        const std::size_t end = synopsis.find_first_of(" \n");
        if (end != 0) tokens.push_back(synopsis.substr(0, end));
        synopsis.remove_prefix(end == std::string_view::npos ? synopsis.size() : end + 1);
    }
    std::vector<SynopsisOption> options;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string_view name = withoutBrackets(tokens[i]);
        if (!name.starts_with("--")) continue;
        const bool closed = tokens[i].ends_with(']');
        options.push_back({name, !closed && i + 1 < tokens.size() &&
                                     isPlaceholder(withoutBrackets(tokens[i + 1]))});
    }
    return options;
}

// "-" is standard input and "-1" a number; anything else after a dash is an
// option.
bool looksLikeOption(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9') && arg[1] != '.';
}

}  // namespace

std::string usageText() {
    std::string text = "usage: gdtool COMMAND ...\n";
    for (const CommandUsage& command : kCommands) {
        const std::string synopsis = "  " + std::string(command.synopsis);
        const bool besides =
            synopsis.find('\n') == std::string::npos && synopsis.size() < kDescriptionColumn;
        text += synopsis;
        if (besides) {
            text += std::string(kDescriptionColumn - synopsis.size(), ' ');
        } else {
            text += "\n" + std::string(kDescriptionColumn, ' ');
        }
        text += wrapped(command.description, kDescriptionColumn, kDescriptionColumn);
    }
    text += "  --help | --version\n";
    return text + std::string(kExitCodes);
}

std::optional<std::string> commandHelp(std::string_view command) {
    for (const CommandUsage& entry : kCommands) {
        if (entry.name != command || command == "help") continue;
        const std::string usage = "usage: gdtool " + std::string(entry.synopsis) + "\n  " +
                                  wrapped(entry.description, 2, 2);
        const auto details =
            std::find_if(kDetails.begin(), kDetails.end(),
                         [&](const CommandDetails& item) { return item.name == command; });
        if (details == kDetails.end()) return usage + std::string(kExitCodes);
        const bool json = entry.synopsis.find("--json") != std::string_view::npos;
        return usage + "example:\n  " + std::string(details->example) + "\nexit codes:\n" +
               std::string(details->exitCodes) + (json ? std::string(kJsonNote) : std::string());
    }
    return std::nullopt;
}

std::optional<std::string> unknownOption(std::string_view command,
                                         const std::vector<std::string>& args) {
    const auto entry = std::find_if(kCommands.begin(), kCommands.end(),
                                    [&](const CommandUsage& item) { return item.name == command; });
    if (entry == kCommands.end() || command == "help") return std::nullopt;
    const std::vector<SynopsisOption> known = optionsOf(entry->synopsis);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!looksLikeOption(args[i])) continue;
        const auto option = std::find_if(known.begin(), known.end(),
                                         [&](const auto& item) { return item.name == args[i]; });
        if (option == known.end()) return args[i];
        if (option->takesValue) ++i;
    }
    return std::nullopt;
}

}  // namespace gdtool

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

constexpr std::array<CommandUsage, 14> kCommands = {{
    {"encrypt", "encrypt IN OUT",
     "encipher IN into OUT with the script password ('-' = stdin/stdout)"},
    {"decrypt", "decrypt IN OUT", "decipher likewise"},
    {"config", "config DIR [--json] [--show-password]",
     "load DIR/config.dat and DIR/version.dat as the launcher does (creating version.dat when "
     "missing) and print the settings, the FTP password as <hidden> unless --show-password; "
     "exit 3 when DIR holds no config.dat (nothing is created then)"},
    {"filelist", "filelist FILE VER",
     "evaluate the enciphered version script FILE against the installed version VER and print "
     "latest= and entry= lines, and a delta= line per delta archive its rules offer"},
    {"check", "check DIR [--json]",
     "online test, probe and version check for the installation in DIR; ends with "
     "status=up-to-date, status=update, status=refused: REASON (exit 1) or status=failed: REASON "
     "(exit 5)"},
    {"update", "update DIR [--json] [--replace-launcher]",
     "check, then update the installation in DIR; one report= line per report, error boxes as "
     "message= lines on stderr, the bytes downloaded as downloaded=; ends with a status= line. "
     "Exit 4 when lcopy is to replace the "
     "launcher, also while an earlier one waits in DIR/GrooveDeck.new; with --replace-launcher "
     "DIR/lcopy puts it in place then (without starting it), unless a launcher is running, and "
     "the update goes on with the archives after it"},
    {"pack", "pack OUT.zip SCRIPT DIR",
     "build a patch archive of every file under DIR plus SCRIPT enciphered as update.dat at the "
     "archive root; links and special files are refused"},
    {"release",
     "release SERVER_DIR OLD_TREE NEW_TREE VERSION [--description TEXT]\n"
     "        [--sign SECFILE [--expires DAYS]] [--allow-empty] [--change-keys]\n"
     "        [--catch-up K] [--trees DIR] [--dry-run] [--json]",
     "the next patch archive from two installation trees, proved by applying it to a copy "
     "of OLD_TREE, then published in SERVER_DIR with filelist.dat rewritten from its record "
     "releases.txt; with --sign, the archive and filelist.dat signed as by sign. OLD_TREE "
     "must be the last release's tree; --allow-empty publishes a release that changes "
     "nothing, --change-keys one whose config.dat names other publisher keys. Delta archives "
     "from the last K versions whose trees are known (5 by default: OLD_TREE and those kept in "
     "DIR by --trees) rebuild the files from the installed ones; filelist.dat offers them in "
     "comments the original launcher skips. With --dry-run it prints the changes and runs the "
     "proofs, and publishes nothing"},
    {"audit", "audit SERVER_DIR [--pub PUBFILE]... [--json]",
     "evaluate filelist.dat at every version it knows and check every archive it lists and "
     "every delta archive its rules offer; with "
     "--pub (once per trusted key), signatures first, and nothing refused is run or "
     "unpacked; a list whose signature expires within 7 days is a warning; one line per "
     "problem"},
    {"resign", "resign SERVER_DIR SECFILE [--expires DAYS] [--archives]",
     "sign SERVER_DIR/filelist.dat anew (30 days unless DAYS says otherwise; with --archives every "
     "listed archive too), in one step as release publishes, then audit the result"},
    {"keygen", "keygen PUBFILE SECFILE",
     "make a minisign key pair (the secret key without password, mode 0600); never overwrites"},
    {"sign", "sign SECFILE [--expires DAYS] FILE...",
     "write FILE.minisig for each FILE; filelist.dat expires after 30 days unless DAYS says "
     "otherwise"},
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

constexpr std::array<CommandDetails, 9> kDetails = {{
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
    {"update",
     "  0 updated or up to date   1 the version script failed   2 usage\n"
     "  3 DIR is no installation\n"
     "  4 lcopy is to replace the launcher (launcher= line)   5 refused, or the server,\n"
     "  the network or an archive failed; the installation is as the last good archive\n"
     "  left it\n",
     "gdtool update ~/.local/groovedeck --replace-launcher"},
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
    "  written\n"
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

// Options that a command takes although its synopsis does not show them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 1> kUnlistedOptions = {{
    {"resign", "--json"},
}};

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
    std::vector<SynopsisOption> known = optionsOf(entry->synopsis);
    for (const auto& [name, option] : kUnlistedOptions) {
        if (name == command) known.push_back({option, false});
    }
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

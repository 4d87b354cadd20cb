#include "command_help.h"

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
    {"config", "config DIR [--json]",
     "load DIR/config.dat and DIR/version.dat as the launcher does (creating version.dat when "
     "missing) and print the settings; exit 3 when DIR holds no config.dat (nothing is created "
     "then)"},
    {"filelist", "filelist FILE VER",
     "evaluate the enciphered version script FILE against the installed version VER and print "
     "latest= and entry= lines, and a delta= line per delta archive its rules offer"},
    {"check", "check DIR [--json]",
     "online test, probe and version check for the installation in DIR; ends with "
     "status=up-to-date, status=update, status=refused: REASON (exit 1) or status=failed: REASON "
     "(exit 5)"},
    {"update", "update DIR [--json] [--replace-launcher]",
     "check, then update the installation in DIR; one report= line per report (naming the "
     "archive and version worked on), error boxes as message= lines on stderr, the bytes "
     "downloaded as downloaded=; ends with a status= line. "
     "Exit 4 when lcopy is to replace the "
     "launcher, also while an earlier one waits in DIR/GrooveDeck.new; with --replace-launcher "
     "DIR/lcopy puts it in place then (without starting it), unless a launcher is running. "
     "Exit 7 (status=busy) when another update of DIR runs: this one changes nothing"},
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
        return "usage: gdtool " + std::string(entry.synopsis) + "\n  " +
               wrapped(entry.description, 2, 2) + std::string(kExitCodes);
    }
    return std::nullopt;
}

}  // namespace gdtool

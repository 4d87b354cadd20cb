// gdtool: the command-line front end of the launcher's engine.

#include "commands.h"

#include <iostream>
#include <string_view>

namespace {

constexpr std::string_view kUsage =
    "usage: gdtool COMMAND ...\n"
    "  encrypt IN OUT      encipher IN into OUT with the script password ('-' = stdin/stdout)\n"
    "  decrypt IN OUT      decipher likewise\n"
    "  config DIR          load DIR/config.dat and DIR/version.dat as the launcher does\n"
    "                      (creating version.dat when missing) and print the settings\n"
    "  filelist FILE VER   evaluate the enciphered version script FILE against the\n"
    "                      installed version VER and print latest= and entry= lines\n"
    "  check DIR           online test, probe and version check for the installation in DIR\n"
    "  update DIR          check, then update the installation in DIR; one report= line per\n"
    "                      report; exit 0 done or up to date, 4 launcher update (also while\n"
    "                      an earlier one waits in DIR/GrooveDeck.new), 5 failed\n"
    "  pack OUT.zip SCRIPT DIR\n"
    "                      build a patch archive of every file under DIR plus SCRIPT\n"
    "                      enciphered as update.dat at the archive root\n"
    "  keygen PUBFILE SECFILE\n"
    "                      make a minisign key pair (the secret key without password,\n"
    "                      mode 0600); never overwrites\n"
    "  sign SECFILE [--expires DAYS] FILE...\n"
    "                      write FILE.minisig for each FILE; filelist.dat expires after\n"
    "                      30 days unless DAYS says otherwise\n"
    "  verify PUBFILE FILE check FILE against FILE.minisig as the launcher would\n"
    "  release SERVER_DIR OLD_TREE NEW_TREE VERSION [--description TEXT]\n"
    "          [--sign SECFILE [--expires DAYS]]\n"
    "                      the next patch archive from two installation trees, proved by\n"
    "                      applying it to a copy of OLD_TREE, then published in SERVER_DIR\n"
    "                      with filelist.dat rewritten from its record releases.txt; with\n"
    "                      --sign, the archive and filelist.dat signed as by sign\n"
    "  audit SERVER_DIR [--pub PUBFILE]\n"
    "                      evaluate filelist.dat at every version it knows and check every\n"
    "                      archive it lists (and, with --pub, every signature); one line\n"
    "                      per problem, exit 1 when any\n"
    "  --help | --version\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace gdtool;
    if (argc < 2) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string_view command = argv[1];
    const Arguments args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h") {
        std::cout << kUsage;
        return kExitOk;
    }
    if (command == "--version") {
        std::cout << "gdtool " << GD_VERSION << '\n';
        return kExitOk;
    }
    if (command == "encrypt") return encryptCommand(args, true);
    if (command == "decrypt") return encryptCommand(args, false);
    if (command == "config") return configCommand(args);
    if (command == "filelist") return filelistCommand(args);
    if (command == "check") return checkCommand(args);
    if (command == "update") return updateCommand(args);
    if (command == "pack") return packCommand(args);
    if (command == "release") return releaseCommand(args);
    if (command == "audit") return auditCommand(args);
    if (command == "keygen") return keygenCommand(args);
    if (command == "sign") return signCommand(args);
    if (command == "verify") return verifyCommand(args);
    return fail("unknown command: " + std::string(command) + " (see gdtool --help)");
}

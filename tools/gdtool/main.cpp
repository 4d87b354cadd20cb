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
    "                      report; exit 4 also while an earlier launcher update waits in\n"
    "                      DIR/GrooveDeck.new\n"
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
    "          [--sign SECFILE [--expires DAYS]] [--allow-empty] [--change-keys]\n"
    "                      the next patch archive from two installation trees, proved by\n"
    "                      applying it to a copy of OLD_TREE, then published in SERVER_DIR\n"
    "                      with filelist.dat rewritten from its record releases.txt; with\n"
    "                      --sign, the archive and filelist.dat signed as by sign. OLD_TREE\n"
    "                      must be the last release's tree; --allow-empty publishes a release\n"
    "                      that changes nothing, --change-keys one whose config.dat names\n"
    "                      other publisher keys\n"
    "  audit SERVER_DIR [--pub PUBFILE]...\n"
    "                      evaluate filelist.dat at every version it knows and check every\n"
    "                      archive it lists; with --pub (once per trusted key), signatures\n"
    "                      first, and nothing refused is run or unpacked; one line per\n"
    "                      problem\n"
    "  --help | --version\n"
    "exit codes:\n"
    "  0 done   1 refused: a script, signature, setting, audit or proof found fault\n"
    "  2 usage  3 input: a named file, folder, key or version cannot be read or used\n"
    "  4 update: lcopy is to replace the launcher   5 update failed (server, network,\n"
    "  archive)   6 output: what gdtool was to write could not be written\n";

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

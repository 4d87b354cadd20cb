// gdtool: the command-line front end of the launcher's engine.

#include "command_help.h"
#include "commands.h"
#include "update/run_directory.h"

#include <algorithm>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    using namespace gdtool;
    if (argc < 2) {
        std::cerr << usageText();
        return kExitUsage;
    }
    const std::string_view command = argv[1];
    const Arguments args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h") {
        std::cout << usageText();
        return kExitOk;
    }
    if (command == "--version") {
        std::cout << "gdtool " << GD_VERSION << '\n';
        return kExitOk;
    }
    const auto help = commandHelp(command);
    if (help && std::any_of(args.begin(), args.end(), [](const std::string& arg) {
            return arg == "--help" || arg == "-h";
        })) {
        std::cout << *help;
        return kExitOk;
    }
    if (const auto option = unknownOption(command, args))
        return fail(std::string(command) + ": unknown option " + *option);
    // What killed runs of this user left under $TMPDIR goes before a new run
    // makes its own private directory.
    if (command == "update" || command == "release" || command == "revert" || command == "audit")
        gd::removeStaleRunDirectories();
    if (command == "encrypt") return encryptCommand(args, true);
    if (command == "decrypt") return encryptCommand(args, false);
    if (command == "config") return configCommand(args);
    if (command == "filelist") return filelistCommand(args);
    if (command == "check") return checkCommand(args);
    if (command == "update") return updateCommand(args);
    if (command == "channel") return channelCommand(args);
    if (command == "pack") return packCommand(args);
    if (command == "release") return releaseCommand(args);
    if (command == "audit") return auditCommand(args);
    if (command == "resign") return resignCommand(args);
    if (command == "rollout") return rolloutCommand(args);
    if (command == "revert") return revertCommand(args);
    if (command == "keygen") return keygenCommand(args);
    if (command == "sign") return signCommand(args);
    if (command == "verify") return verifyCommand(args);
    return fail("unknown command: " + std::string(command));
}

// The commands of gdtool. Each takes the arguments after the command word and
// returns the process exit code.
#pragma once

#include "publish/publish_failure.h"
#include "trust/public_key.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gd {
struct Audience;
struct ServerRecord;
}  // namespace gd
namespace gd::publish {
struct AuditReport;
}

namespace gdtool {

class CommandOutput;
class JsonObject;

using Arguments = std::vector<std::string>;

// gdtool's exit codes, as --help and the README list them.
inline constexpr int kExitOk = 0;
// What was checked is at fault: a version script that fails, a refused
// signature, unusable settings, an audit's or a release proof's findings.
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;  // the command line itself is wrong
// An argument names what cannot be read or is not what it must be: a
// missing file or folder, a version that is no number, a key file that holds
// no key.
inline constexpr int kExitInput = 3;
inline constexpr int kExitLauncherUpdate = 4;  // update: lcopy is to replace the launcher
// update: the update did not complete (the server, the network or an
// archive failed it); the installation is as the last good archive left it.
inline constexpr int kExitFailed = 5;
inline constexpr int kExitOutput = 6;  // what gdtool was to write could not be written
// update: another update of the installation (the launcher's or gdtool's) is
// running; this one changed nothing.
inline constexpr int kExitBusy = 7;

// The exit code of a publisher's step that ended so.
constexpr int exitCodeOf(gd::publish::Outcome outcome) {
    switch (outcome) {
        case gd::publish::Outcome::Done:
            return kExitOk;
        case gd::publish::Outcome::Refused:
            return kExitRefused;
        case gd::publish::Outcome::BadInput:
            return kExitInput;
        case gd::publish::Outcome::CannotWrite:
            return kExitOutput;
    }
    return kExitRefused;
}

// Prints "gdtool: MESSAGE" on stderr and returns kExitUsage, or `exitCode`.
// A usage error points to the help of the command the message begins with,
// or to gdtool --help.
int fail(std::string_view message);
int fail(int exitCode, std::string_view message);
// The same, and with --json also as an object {"type":"refused","exit":N,
// "reason":...} on stdout, so that a program reading the objects learns why.
int fail(CommandOutput& output, int exitCode, std::string_view message);

// DIR as a launcher directory (ending in '/'), or empty when it is no directory.
std::string launcherDirArgument(const std::string& dir);
// DIR as an installation: a folder that holds a config.dat. Empty, after
// saying why on stderr, when it is not one; nothing is made in it then, so
// that a wrong path is not turned into half an installation.
std::string installationArgument(const std::string& dir);

// "signed=1" and one "key=<id>" line per pinned key, or "signed=0" when
// `sayUnsigned`; "DUREDOR_FTP_TLS=1" and "DUREDOR_FTP_CA=<file>" when set;
// "unusable=<why>" for settings that cannot be used. With --json the same
// facts go into `summary`.
void printTrustLines(CommandOutput& output, JsonObject& summary, const gd::ServerRecord& server,
                     bool sayUnsigned);

int encryptCommand(const Arguments& args, bool encrypt);
int configCommand(const Arguments& args);
int filelistCommand(const Arguments& args);
int checkCommand(const Arguments& args);
int channelCommand(const Arguments& args);

// The number and channel that the user's settings keep for the installation
// in `dir` (its number drawn now when it has none).
gd::Audience installationAudience(const std::string& dir);
int updateCommand(const Arguments& args);
int packCommand(const Arguments& args);
int releaseCommand(const Arguments& args);
int auditCommand(const Arguments& args);
int resignCommand(const Arguments& args);
int rolloutCommand(const Arguments& args);
int revertCommand(const Arguments& args);

// The lines of the audit of the update directory `dir`; its exit code.
int printAudit(CommandOutput& output, const std::filesystem::path& dir,
               const gd::publish::AuditReport& report);
int keygenCommand(const Arguments& args);
int signCommand(const Arguments& args);
int verifyCommand(const Arguments& args);

}  // namespace gdtool

// The commands of gdtool. Each takes the arguments after the command word and
// returns the process exit code.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gd {
struct ServerRecord;
}

namespace gdtool {

using Arguments = std::vector<std::string>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitScriptError = 1;
inline constexpr int kExitRefused = 1;  // a signature or the settings were refused
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLauncherUpdate = 4;
inline constexpr int kExitFailed = 5;

// Prints "gdtool: MESSAGE" on stderr and returns kExitUsage.
int fail(std::string_view message);

// DIR as a launcher directory (ending in '/'), or empty when it is no directory.
std::string launcherDirArgument(const std::string& dir);

// "signed=1" and one "key=<id>" line per pinned key, or "signed=0" when
// `sayUnsigned`; "DUREDOR_FTP_TLS=1" and "DUREDOR_FTP_CA=<file>" when set;
// "unusable=<why>" for settings that cannot be used.
void printTrustLines(const gd::ServerRecord& server, bool sayUnsigned);

int encryptCommand(const Arguments& args, bool encrypt);
int configCommand(const Arguments& args);
int filelistCommand(const Arguments& args);
int checkCommand(const Arguments& args);
int updateCommand(const Arguments& args);
int packCommand(const Arguments& args);
int releaseCommand(const Arguments& args);
int auditCommand(const Arguments& args);
int keygenCommand(const Arguments& args);
int signCommand(const Arguments& args);
int verifyCommand(const Arguments& args);

}  // namespace gdtool

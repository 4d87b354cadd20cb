// Starting other programs: the editors, which the launcher waits for, and
// lcopy and the restarted launcher, which outlive the program that starts them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace gd {

// Starts `program` (a path, not looked up in PATH) with the argument vector
// `argv`, whose first element need not name the program: an editor gets its
// command word alone. The child runs in the caller's working directory with
// the caller's environment, default signal dispositions, an empty signal mask
// and no descriptors beyond 0, 1 and 2. nullopt when the program could not be
// started (missing, not executable, not a program), with errno set.
std::optional<pid_t> spawnProcess(const std::string& program, const std::vector<std::string>& argv);

// Waits without limit for the child `pid` to end, through interrupting
// signals. Its exit code, 128 + the signal number when a signal ended it, or
// nullopt when `pid` is no child of this process.
std::optional<int> waitForExit(pid_t pid);

// Starts `program` as spawnProcess does, but detached: in a session of its
// own, stdin and stdout on /dev/null (stderr kept so its complaints still
// reach a terminal or journal), and not a child of the caller, so it neither
// has to be waited for nor ever stays behind as a zombie, and it survives the
// caller's exit. false, with errno set, when it could not be started.
bool startDetached(const std::string& program, const std::vector<std::string>& argv);

// Whether `path` is an executable regular file that can be opened and read:
// the test made before an editor is started.
bool isLaunchableFile(const std::string& path);

}  // namespace gd

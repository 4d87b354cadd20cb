// groovedeck: the start command of the packaged launcher. The package keeps a
// pristine installation under /usr/lib/groovedeck that nothing may update;
// this program lays out (and after a package upgrade refreshes) the user's own
// copy of it, records that copy as the installation in the user's registry
// scope, and replaces itself with the copy's launcher, passing its arguments.

#include "install/install_paths.h"
#include "install/instance_lock.h"
#include "install/registry.h"
#include "user_installation.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailed = 1;

int fail(const std::string& message) {
    std::cerr << "groovedeck: " << message << '\n';
    return kExitFailed;
}

// Found from this program's own place, so that a package unpacked anywhere
// (dpkg -x) uses its own pristine installation.
fs::path pristineInstallationDir() {
    const fs::path self(gd::runningExecutablePath());
    return (self.parent_path() / GD_PRISTINE_FROM_BINDIR).lexically_normal();
}

// The launcher writes BootDir itself only when InstallDir names its folder
// exactly, as the system's canonical path of its executable gives it; the
// editors are found through BootDir even when a system key takes precedence.
bool recordInstallation(const std::string& launcherDir) {
    bool recorded = true;
    for (const char* name : {"InstallDir", "BootDir"}) {
        if (gd::readRegistryValue(gd::RegistryScope::User, name) != launcherDir)
            recorded =
                gd::writeRegistryValue(gd::RegistryScope::User, name, launcherDir) && recorded;
    }
    return recorded;
}

int execLauncher(const std::string& launcherDir, int argc, char** argv) {
    std::string launcher = launcherDir + std::string(gd::executableName(gd::kLauncherKind));
    std::vector<char*> arguments{launcher.data()};
    for (int index = 1; index < argc; ++index) arguments.push_back(argv[index]);
    arguments.push_back(nullptr);
    // The editors run in the launcher's working folder, which the menu entry of
    // an unpackaged installation set to the installation.
    if (::chdir(launcherDir.c_str()) != 0)
        return fail("cannot enter " + launcherDir + ": " + std::strerror(errno));
    ::execv(launcher.c_str(), arguments.data());
    return fail("cannot start " + launcher + ": " + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path pristineDir = pristineInstallationDir();
    const fs::path userDir = gdstart::userInstallationDir();
    if (userDir.empty()) return fail("no home directory (HOME is unset) for the installation");
    if (!gd::InstanceLock::lockFilePath())
        return fail("no private runtime directory for the launcher's single-instance lock");
    // The launcher's own lock: while a launcher, lcopy or another start command
    // holds it, the copy is in use. Like a second launcher, end at once,
    // showing nothing, with one line for a terminal.
    const auto lock = gd::InstanceLock::tryAcquire();
    if (!lock) {
        std::cerr << "groovedeck: another launcher is running for this user\n";
        return 0;
    }

    if (gdstart::prepareUserInstallation(pristineDir, userDir) == gdstart::Preparation::Failed)
        return fail("cannot copy the installation " + pristineDir.string() + " to " +
                    userDir.string());
    std::error_code error;
    const std::string launcherDir = fs::canonical(userDir, error).string() + "/";
    if (error) return fail("cannot resolve " + userDir.string() + ": " + error.message());
    if (!recordInstallation(launcherDir))
        std::cerr << "groovedeck: cannot record the installation in the user's settings\n";
    return execLauncher(launcherDir, argc, argv);
}

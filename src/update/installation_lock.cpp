#include "update/installation_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace gd {

InstallationLock::InstallationLock(const std::string& launcherDir)
    : folder_(::open(launcherDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!folder_) return;
    int result = 0;
    do {
        result = ::flock(folder_.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    busy_ = result != 0 && errno == EWOULDBLOCK;
}

std::string busyReason(const std::string& launcherDir) {
    return "another update of " + launcherDir +
           " is running (the launcher's or gdtool's): this one changed nothing; try again once "
           "it has ended";
}

}  // namespace gd

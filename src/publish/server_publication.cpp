#include "publish/server_publication.h"

#include "util/fd_io.h"
#include "util/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace gd::publish {

namespace {

namespace fs = std::filesystem;

std::string reason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// ".<name>.release-XXXXXX": hidden beside the update directory, so that the
// FTP server never lists it inside the update directory.
std::string stagingPrefix(const fs::path& live) {
    return "." + live.filename().string() + ".release-";
}

void sweepStaleStaging(const fs::path& live) {
    const std::string prefix = stagingPrefix(live);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(live.parent_path(), error)) {
        if (entry.path().filename().string().starts_with(prefix))
            fs::remove_all(entry.path(), error);
    }
}

// Where a file cannot be linked (another owner under protected hard links),
// it is copied with its mode instead.
bool linkOrCopy(const fs::path& from, const fs::path& to, mode_t mode) {
    if (::link(from.c_str(), to.c_str()) == 0) return true;
    std::error_code error;
    fs::copy_file(from, to, error);
    return !error && ::chmod(to.c_str(), mode & 07777) == 0;
}

// A staged folder takes the live one's mode and owner, which the FTP
// server's access depends on.
bool copyAttributes(const fs::path& live, const fs::path& staged, std::string& error) {
    struct stat info {};
    if (::stat(live.c_str(), &info) != 0) {
        error = reason("cannot read " + live.string());
        return false;
    }
    struct stat mine {};
    if (::stat(staged.c_str(), &mine) != 0 ||
        ((mine.st_uid != info.st_uid || mine.st_gid != info.st_gid) &&
         ::chown(staged.c_str(), info.st_uid, info.st_gid) != 0)) {
        error = reason("cannot give the new tree the owner of " + live.string());
        return false;
    }
    if (::chmod(staged.c_str(), info.st_mode & 07777) != 0) {
        error = reason("cannot give the new tree the mode of " + live.string());
        return false;
    }
    return true;
}

bool mirror(const fs::path& from, const fs::path& to, std::string& error);

bool mirrorItem(const fs::path& from, const fs::path& to, std::string& error) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) {
        error = reason("cannot read " + from.string());
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0) {
            error = reason("cannot make " + to.string());
            return false;
        }
        return mirror(from, to, error) && copyAttributes(from, to, error);
    }
    if (S_ISLNK(info.st_mode)) {
        std::error_code failure;
        const fs::path target = fs::read_symlink(from, failure);
        if (!failure) fs::create_symlink(target, to, failure);
        if (failure) error = "cannot mirror the link " + from.string() + ": " + failure.message();
        return !failure;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot mirror the special file " + from.string();
        return false;
    }
    if (!linkOrCopy(from, to, info.st_mode)) {
        error = reason("cannot link or copy " + from.string());
        return false;
    }
    return true;
}

bool mirror(const fs::path& from, const fs::path& to, std::string& error) {
    std::error_code failure;
    for (const auto& entry : fs::directory_iterator(from, failure)) {
        if (!mirrorItem(entry.path(), to / entry.path().filename(), error)) return false;
    }
    if (failure) {
        error = "cannot read " + from.string() + ": " + failure.message();
        return false;
    }
    // Its names must be on disk before the trade makes them live.
    if (!gd::syncDirectory(to)) {
        error = reason("cannot flush " + to.string());
        return false;
    }
    return true;
}

}  // namespace

ServerPublication::ServerPublication(fs::path live, fs::path staged, gd::UniqueFd lock)
    : live_(std::move(live)), staged_(std::move(staged)), parentLock_(std::move(lock)) {}

ServerPublication::ServerPublication(ServerPublication&& other) noexcept
    : live_(std::move(other.live_)),
      staged_(std::exchange(other.staged_, {})),
      stagedFd_(std::move(other.stagedFd_)),
      parentLock_(std::move(other.parentLock_)),
      committed_(other.committed_) {}

ServerPublication::~ServerPublication() {
    if (staged_.empty() || committed_) return;
    std::error_code ignored;
    fs::remove_all(staged_, ignored);
}

std::optional<ServerPublication> ServerPublication::begin(const fs::path& serverDir,
                                                          std::string& error) {
    std::error_code failure;
    const fs::path live = fs::canonical(serverDir, failure);
    if (failure || !fs::is_directory(live, failure) || live == live.root_path()) {
        error = "not a folder that can be replaced: " + serverDir.string();
        return std::nullopt;
    }
    gd::UniqueFd lock(::open(live.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "another release is being published beside " + live.string()
                                     : reason("cannot lock " + live.parent_path().string());
        return std::nullopt;
    }
    sweepStaleStaging(live);
    std::string pattern = (live.parent_path() / (stagingPrefix(live) + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = reason("cannot make a folder beside " + live.string() +
                       " (the new tree is built there)");
        return std::nullopt;
    }
    ServerPublication publication(live, pattern, std::move(lock));
    publication.stagedFd_.reset(
        ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!publication.stagedFd_) {
        error = reason("cannot open " + pattern);
        return std::nullopt;
    }
    if (!mirror(live, publication.staged_, error) ||
        !copyAttributes(live, publication.staged_, error))
        return std::nullopt;
    return publication;
}

bool ServerPublication::writeFile(const std::string& name, const std::string& bytes,
                                  std::string& error) {
    gd::FileReplacement file(staged_ / name, 0644);
    if (!file || !gd::writeAll(file.fd(), bytes.data(), bytes.size()) || !file.commit()) {
        error = reason("cannot write " + name);
        return false;
    }
    return true;
}

gd::UniqueFd ServerPublication::createFile(const std::string& name, std::string& error) {
    gd::UniqueFd file(::openat(stagedFd_.get(), name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file) error = reason("cannot create " + (staged_ / name).string());
    return file;
}

void ServerPublication::drop(const std::string& name) {
    ::unlinkat(stagedFd_.get(), name.c_str(), 0);
}

bool ServerPublication::commit(std::string& error) {
    if (!gd::syncDirectory(staged_)) {
        error = reason("cannot flush " + staged_.string());
        return false;
    }
    if (::renameat2(AT_FDCWD, staged_.c_str(), AT_FDCWD, live_.c_str(), RENAME_EXCHANGE) != 0) {
        error = reason("cannot trade " + staged_.string() + " for " + live_.string() +
                       " in one step (the file system must support RENAME_EXCHANGE)");
        return false;
    }
    committed_ = true;
    gd::syncDirectory(live_.parent_path());
    // The old tree now has the staged name; a crash before it is gone leaves
    // it for the next publication to sweep.
    std::error_code ignored;
    fs::remove_all(staged_, ignored);
    return true;
}

}  // namespace gd::publish

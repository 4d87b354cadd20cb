#include "util/tree_walk.h"

#include "util/name_case.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace gd {

namespace {

std::optional<TreeLocation> stop(TreeWalkFailure& failure, int error, std::string at,
                                 std::string why) {
    failure = {error, std::move(at), std::move(why)};
    errno = error;
    return std::nullopt;
}

std::string ambiguity(const NameMatch& match) {
    std::string names;
    for (const std::string& name : match.matches) names += (names.empty() ? "" : ", ") + name;
    return "could be any of " + names + ", which differ in case only";
}

// The name to use for `part` in `directory`, or nullopt after filling
// `failure` for what cannot be told apart or read.
std::optional<std::string> nameIn(int directory, const std::string& part, const std::string& at,
                                  TreeWalkFailure& failure, FolderNames* names) {
    NameMatch match = names != nullptr ? names->find(directory, part) : findName(directory, part);
    switch (match.found) {
        case NameFound::Ambiguous:
            stop(failure, ENOTUNIQ, at + part, ambiguity(match));
            return std::nullopt;
        case NameFound::Unreadable:
            stop(failure, match.error, at, std::strerror(match.error));
            return std::nullopt;
        case NameFound::Exact:
        case NameFound::Folded:
        case NameFound::Missing:
            break;
    }
    return std::move(match.name);
}

// Opens the folder `name` below `parent`: a folder, or a link that the walk
// follows.
UniqueFd openSubdirectory(int parent, const std::string& name, const std::string& at,
                          TreeWalkFailure& failure) {
    UniqueFd directory(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (directory) return directory;
    const int error = errno;
    struct stat info {};
    const bool exists = ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(info.st_mode)) {
        std::string why;
        directory = followOwnLink(parent, name, why);
        if (!directory) stop(failure, ELOOP, at + name, std::move(why));
        return directory;
    }
    if (error == ENOENT) {
        stop(failure, ENOENT, at + name, "no such folder");
    } else if (error == ENOTDIR || error == ELOOP) {
        stop(failure, ENOTDIR, at + name, "not a folder");
    } else {
        stop(failure, error, at + name, std::strerror(error));
    }
    return directory;
}

// As many links as the kernel follows in one lookup.
constexpr int kLinkHops = 40;

bool ownedByUserOrRoot(const struct stat& info) {
    return info.st_uid == ::geteuid() || info.st_uid == 0;
}

UniqueFd openTargetFolder(int directory, std::string_view target, int& hops, std::string& why);

// The folder that the link `name` in `directory`, met on the way to a
// link's target at `walked`, leads to, by openTargetFolder's rule.
UniqueFd followInnerLink(int directory, const std::string& name, const std::string& walked,
                         int& hops, std::string& why) {
    const int error = errno;
    const UniqueFd link(::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!link || ::fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        errno = error;
        return {};
    }
    char target[PATH_MAX];
    ssize_t length = -1;
    if (!ownedByUserOrRoot(info)) {
        why = "which leads through " + walked + ", a symbolic link owned by uid " +
              std::to_string(info.st_uid) + ", neither by this user nor by root";
    } else if (++hops > kLinkHops ||
               (length = ::readlinkat(link.get(), "", target, sizeof target)) <= 0 ||
               static_cast<std::size_t>(length) >= sizeof target) {
        why = "which leads through " + walked + ", one link too many or one that cannot be read";
    } else {
        return openTargetFolder(directory, std::string_view(target, length), hops, why);
    }
    errno = ELOOP;
    return {};
}

// The folder a link's `target` names, from `directory` where it is relative,
// opened one component at a time: a link on the way is followed only when
// the user or root owns it, as the link that led here is, since someone
// else could swap one of theirs for a link to anywhere at any moment. An
// empty descriptor, with errno set and `why` filled, when it cannot be had;
// `why` is empty when the system's reason (errno) says it.
UniqueFd openTargetFolder(int directory, std::string_view target, int& hops, std::string& why) {
    const bool absolute = target.starts_with('/');
    UniqueFd current(::openat(absolute ? AT_FDCWD : directory, absolute ? "/" : ".",
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked = absolute ? "/" : "";
    while (current && !target.empty()) {
        const auto slash = target.find('/');
        const std::string part(target.substr(0, slash));
        target.remove_prefix(slash == std::string_view::npos ? target.size() : slash + 1);
        if (part.empty() || part == ".") continue;
        walked += (walked.empty() || walked.ends_with('/') ? "" : "/") + part;
        UniqueFd next(
            ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && (errno == ELOOP || errno == ENOTDIR))
            next = followInnerLink(current.get(), part, walked, hops, why);
        current = std::move(next);
    }
    return current;
}

// `leaf` in the folder that an earlier walk kept open.
std::optional<TreeLocation> locateBelow(const FolderNames::Walked& walked, const std::string& leaf,
                                        TreeWalkFailure& failure, FolderNames& names) {
    TreeLocation location{UniqueFd(::fcntl(walked.directory.get(), F_DUPFD_CLOEXEC, 0)), {}};
    if (!location.directory) return stop(failure, errno, walked.at, std::strerror(errno));
    auto name = nameIn(location.directory.get(), leaf, walked.at, failure, &names);
    if (!name) return std::nullopt;
    location.name = std::move(*name);
    return location;
}

}  // namespace

UniqueFd followOwnLink(int directory, const std::string& name, std::string& why) {
    const UniqueFd link(::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!link || ::fstat(link.get(), &info) != 0) {
        why = std::strerror(errno);
        return {};
    }
    const uid_t user = ::geteuid();
    const auto refuse = [&why](std::string reason) {
        why = std::move(reason);
        errno = ELOOP;
        return UniqueFd();
    };
    if (!S_ISLNK(info.st_mode)) return refuse("was replaced while it was looked at");
    if (info.st_uid != user && info.st_uid != 0)
        return refuse("a symbolic link owned by uid " + std::to_string(info.st_uid) +
                      ", neither by this user nor by root");
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(link.get(), "", target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
        return refuse("a symbolic link that cannot be read");
    target[length] = '\0';
    // An absolute target ignores `directory`, a relative one starts there.
    int hops = 1;
    std::string through;
    UniqueFd opened = openTargetFolder(directory, target, hops, through);
    if (!opened && !through.empty())
        return refuse("a symbolic link to " + std::string(target) + ", " + through);
    if (!opened)
        return refuse("a symbolic link to " + std::string(target) + ", which is no folder (" +
                      std::strerror(errno) + ")");
    if (::fstat(opened.get(), &info) != 0) return refuse(std::strerror(errno));
    if (info.st_uid != user)
        return refuse("a symbolic link to " + std::string(target) + ", a folder owned by uid " +
                      std::to_string(info.st_uid) + ", not by this user");
    return opened;
}

std::optional<TreeLocation> locateInTree(const TreePath& path, TreeWalkFailure& failure,
                                         FolderNames* names) {
    const std::size_t lastSlash = path.relative.rfind('/');
    const bool inFolder = lastSlash != std::string::npos;
    const std::string_view folder =
        inFolder ? std::string_view(path.relative).substr(0, lastSlash) : std::string_view();
    if (names != nullptr && inFolder) {
        if (const FolderNames::Walked* walked = names->walked(path.base, folder))
            return locateBelow(*walked, path.relative.substr(lastSlash + 1), failure, *names);
    }
    TreeLocation location{UniqueFd(::open(path.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                          "."};
    if (!location.directory) return stop(failure, errno, {}, std::strerror(errno));
    std::string at;  // the components walked so far, as the tree spells them
    std::string_view rest = path.relative;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string part(rest.substr(0, slash));
        auto name = nameIn(location.directory.get(), part, at, failure, names);
        if (!name) return std::nullopt;
        if (slash == std::string_view::npos) {
            location.name = std::move(*name);
            if (names != nullptr && inFolder) {
                names->rememberWalk(
                    {path.base, std::string(folder), at,
                     UniqueFd(::fcntl(location.directory.get(), F_DUPFD_CLOEXEC, 0))});
            }
            break;
        }
        location.directory = openSubdirectory(location.directory.get(), *name, at, failure);
        if (!location.directory) return std::nullopt;
        at += *name + "/";
        rest.remove_prefix(slash + 1);
    }
    return location;
}

std::optional<TreeLocation> locateInTree(const TreePath& path) {
    TreeWalkFailure failure;
    return locateInTree(path, failure);
}

}  // namespace gd

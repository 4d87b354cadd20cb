#include "update/patch.h"

#include "script/version_manifest.h"
#include "util/replace_file.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace gd {

namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;

// Runs `attempt` up to kPatchAttempts times in a row; 1 on the first success.
template <typename Attempt>
int retried(Attempt attempt) {
    for (int i = 0; i < kPatchAttempts; ++i) {
        if (attempt()) return 1;
    }
    return 0;
}

bool copyContent(int from, int to) {
    char buffer[kCopyChunk];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        if (!writeAll(to, buffer, static_cast<std::size_t>(got))) return false;
    }
}

// One copy attempt: the whole source goes into a new file beside the target
// that then replaces it in one rename, so readers see the old or the new file.
bool copyOnce(const std::string& source, const std::string& target) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return false;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

    FileReplacement out(target, 0600);
    if (!out) return false;
    // Only the access bits travel: set-id bits from an archive have no place
    // in an installation.
    return ::fchmod(out.fd(), info.st_mode & 0777) == 0 && copyContent(in.get(), out.fd()) &&
           out.commit();
}

}  // namespace

CPatchMkdir::CPatchMkdir(std::string fullPath) : CPatch(2), fullPath_(std::move(fullPath)) {}

int CPatchMkdir::Execute() {
    return retried([this] { return ::mkdir(fullPath_.c_str(), 0777) == 0; });
}

int CPatchDelete::Execute() {
    // unlink never removes a directory, which is what the script may rely on.
    return retried([this] { return ::unlink(fullPath_.c_str()) == 0; });
}

int CPatchRmdir::Execute() {
    return retried([this] { return ::rmdir(fullPath_.c_str()) == 0; });
}

CPatchCopy::CPatchCopy(std::string source, std::string target)
    : CPatch(1), source_(std::move(source)), target_(std::move(target)) {}

int CPatchCopy::Execute() {
    return retried([this] { return copyOnce(source_, target_); });
}

CPatchLuncherCopy::CPatchLuncherCopy(std::string source, std::string target,
                                     VersionManifest& manifest)
    : CPatchCopy(std::move(source), std::move(target)), manifest_(manifest) {}

int CPatchLuncherCopy::Execute() {
    // The running launcher cannot replace itself here; the self-update after
    // this archive does it from what the manifest records.
    manifest_.setLauncherCopy(source_, target_);
    manifest_.markLauncherUpdate();
    return 1;
}

void PatchQueue::takeAll(PatchQueue& other) {
    if (&other == this) return;
    for (auto& operation : other.operations_) operations_.push_back(std::move(operation));
    other.operations_.clear();
}

}  // namespace gd

#include "script/encrypted_script.h"

#include "script/script_cipher.h"
#include "util/fd_io.h"
#include "util/replace_file.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace gd {

namespace {

// Reads up to `limit` bytes into memory sized by what the file measured
// (`expected`), more only as it turns out longer; sets `tooLong` when it
// holds more than `limit`. Memory for the limit itself would be cleared page
// by page on every read of a small script.
bool readUpTo(int fd, std::size_t expected, std::size_t limit, std::string& out, bool& tooLong) {
    out.resize(std::min(expected, limit) + 1);
    std::size_t total = 0;
    for (;;) {
        if (total == out.size()) {
            if (out.size() > limit) break;
            out.resize(std::min(out.size() * 2, limit + 1));
        }
        const ssize_t got = ::read(fd, out.data() + total, out.size() - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        total += static_cast<std::size_t>(got);
    }
    tooLong = total > limit;
    out.resize(total);
    return true;
}

}  // namespace

std::string readEncryptedFile(const std::filesystem::path& path, std::size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    if (static_cast<std::uintmax_t>(info.st_size) > limit) return {};

    std::string text;
    bool tooLong = false;
    if (!readUpTo(fd.get(), static_cast<std::size_t>(info.st_size), limit, text, tooLong) ||
        tooLong)
        return {};
    ScriptCipher::decrypt(text.data(), text.size());
    return text;
}

bool writeEncryptedFile(const std::filesystem::path& path, std::string_view text) {
    std::string cipher(text);
    ScriptCipher::encrypt(cipher.data(), cipher.size());

    // Only a regular file's permission bits carry over: set-id and sticky
    // bits planted on it never do, nor the bits of whatever a link points at.
    struct stat old {};
    const bool hadOld = ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    FileReplacement file(path, 0666);
    if (!file || !writeAll(file.fd(), cipher.data(), cipher.size())) return false;
    if (hadOld) ::fchmod(file.fd(), old.st_mode & 0777);
    return file.commit();
}

}  // namespace gd

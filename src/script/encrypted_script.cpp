#include "script/encrypted_script.h"

#include "script/script_cipher.h"
#include "util/fd_io.h"
#include "util/replace_file.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace gd {

namespace {

// Reads up to `limit` bytes; sets `tooLong` when the file holds more.
bool readUpTo(int fd, std::size_t limit, std::string& out, bool& tooLong) {
    out.resize(limit + 1);
    std::size_t total = 0;
    while (total < out.size()) {
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
    if (!readUpTo(fd.get(), limit, text, tooLong) || tooLong) return {};
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

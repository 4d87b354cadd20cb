#include "script/encrypted_script.h"

#include "script/script_cipher.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace gd {

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

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

// A sibling name that no other writer in this process or another one uses.
std::filesystem::path temporarySibling(const std::filesystem::path& path) {
    static std::atomic<unsigned> counter{0};
    std::string name = "." + path.filename().string() + "." + std::to_string(::getpid()) + "." +
                       std::to_string(counter++) + ".tmp";
    return path.parent_path() / name;
}

void syncDirectory(const std::filesystem::path& directory) {
    UniqueFd dir(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir) ::fsync(dir.get());
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

    struct stat old {};
    const bool hadOld = ::stat(path.c_str(), &old) == 0;

    std::filesystem::path temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        temporary = temporarySibling(path);
        fd.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST) return false;
    }
    if (!fd) return false;

    bool ok = writeAll(fd.get(), cipher.data(), cipher.size());
    if (ok && hadOld) ::fchmod(fd.get(), old.st_mode & 07777);
    ok = ok && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(path.parent_path());
    return true;
}

}  // namespace gd

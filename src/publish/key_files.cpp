#include "publish/key_files.h"

#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace gd::publish {

namespace {

constexpr std::size_t kKeyFileLimit = 4096;

}  // namespace

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    // Not blocking: a FIFO in the place of a key or signature must not hang us.
    const gd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string text(limit + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return text;
}

std::optional<std::string> readServerFile(const std::filesystem::path& path, std::size_t limit) {
    auto text = readSmallFile(path, limit);
    if (text && text->size() > limit) return std::nullopt;
    return text;
}

std::optional<gd::SecretKey> readSecretKey(const std::filesystem::path& path,
                                           std::string& problem) {
    const auto text = readSmallFile(path, kKeyFileLimit);
    if (!text) {
        problem = "cannot read " + path.string();
        return std::nullopt;
    }
    auto key = gd::parseSecretKeyFile(*text, problem);
    if (!key) problem = path.string() + ": " + problem;
    return key;
}

std::optional<gd::PublicKey> readPublicKey(const std::filesystem::path& path,
                                           std::string& problem) {
    const auto text = readSmallFile(path, kKeyFileLimit);
    if (!text) {
        problem = "cannot read " + path.string();
        return std::nullopt;
    }
    auto key = gd::parsePublicKeyFile(*text);
    if (key) return key;
    problem = gd::isSecretKeyFile(*text)
                  ? path.string() + " is a minisign secret key; give the public key (.pub)"
                  : path.string() + " is no minisign public key";
    return std::nullopt;
}

}  // namespace gd::publish

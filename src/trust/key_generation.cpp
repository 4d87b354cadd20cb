#include "trust/key_generation.h"

#include "trust/crypto_library.h"
#include "util/fd_io.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace gd {
namespace {

// Creates `path` (which must not exist) with `mode` and writes `text`.
bool createWith(const std::filesystem::path& path, mode_t mode, const std::string& text,
                std::string& problem) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd) {
        problem = path.string() + ": " + std::strerror(errno) +
                  (errno == EEXIST ? " (keys are never overwritten)" : "");
        return false;
    }
    // The umask may have taken more away; never less than the owner alone.
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), text.data(), text.size()) ||
        ::fsync(fd.get()) != 0 || !fd.close()) {
        problem = path.string() + ": " + std::strerror(errno);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return false;
    }
    return true;
}

}  // namespace

std::optional<SecretKey> generateSecretKey() {
    if (!cryptoReady()) return std::nullopt;
    SecretKey secret;
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> ignored{};
    crypto_sign_keypair(ignored.data(), secret.key.data());
    randombytes_buf(secret.id.data(), secret.id.size());
    return secret;
}

std::optional<PublicKey> writeNewKeyPair(const std::filesystem::path& publicPath,
                                         const std::filesystem::path& secretPath,
                                         std::string& problem) {
    std::error_code error;
    if (std::filesystem::equivalent(publicPath, secretPath, error) || publicPath == secretPath) {
        problem = "the public and the secret key need two files";
        return std::nullopt;
    }
    auto secret = generateSecretKey();
    if (!secret) {
        problem = "libsodium cannot be used";
        return std::nullopt;
    }
    const PublicKey publicKey = secret->publicKey();
    std::string secretText = formatSecretKeyFile(*secret);
    const bool written = createWith(secretPath, 0600, secretText, problem);
    sodium_memzero(secretText.data(), secretText.size());
    sodium_memzero(secret->key.data(), secret->key.size());
    if (!written) return std::nullopt;
    if (!createWith(publicPath, 0644, formatPublicKeyFile(publicKey), problem)) {
        std::filesystem::remove(secretPath, error);
        return std::nullopt;
    }
    return publicKey;
}

}  // namespace gd

#include "trust/content_hash.h"

#include "trust/crypto_library.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace gd {
namespace {

// Pieces small enough to stay in the processor's caches between the read
// and the hash.
constexpr std::size_t kReadSize = 64 * 1024;

}  // namespace

// OpenSSL's BLAKE2b-512 where its configuration offers one (it is twice as
// fast as libsodium's on some processors, and an update hashes every byte it
// downloads or rebuilds); libsodium's, the same function, where it does not
// (a system that allows only FIPS algorithms).
struct ContentHasher::State {
    struct OpenSslContext {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, OpenSslContext> openssl;
    crypto_generichash_state sodium{};
};

ContentHasher::ContentHasher() : state_(std::make_unique<State>()) {
    state_->openssl.reset(EVP_MD_CTX_new());
    if (state_->openssl && EVP_DigestInit_ex(state_->openssl.get(), EVP_blake2b512(), nullptr) == 1)
        return;
    state_->openssl.reset();
    crypto_generichash_init(&state_->sodium, nullptr, 0, ContentHash{}.size());
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::add(const void* data, std::size_t size) {
    if (state_->openssl) {
        // It fails only for want of memory, which a hash of a block does not take.
        (void)EVP_DigestUpdate(state_->openssl.get(), data, size);
        return;
    }
    crypto_generichash_update(&state_->sodium, static_cast<const unsigned char*>(data), size);
}

ContentHash ContentHasher::finish() {
    ContentHash hash{};
    if (state_->openssl) {
        unsigned int length = 0;
        (void)EVP_DigestFinal_ex(state_->openssl.get(), hash.data(), &length);
        return hash;
    }
    crypto_generichash_final(&state_->sodium, hash.data(), hash.size());
    return hash;
}

std::optional<ContentHash> hashContent(std::string_view bytes) {
    if (!cryptoReady()) return std::nullopt;
    ContentHasher hasher;
    hasher.add(bytes.data(), bytes.size());
    return hasher.finish();
}

std::optional<ContentHash> hashFile(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    return hashDescriptor(fd.get());
}

std::optional<ContentHash> hashDescriptor(int fd) {
    if (!cryptoReady()) return std::nullopt;
    ContentHasher hasher;
    std::vector<char> buffer(kReadSize);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return hasher.finish();
        hasher.add(buffer.data(), static_cast<std::size_t>(got));
        offset += got;
    }
}

}  // namespace gd

#include "trust/content_hash.h"

#include "trust/crypto_library.h"
#include "util/unique_fd.h"

#include <fcntl.h>
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

struct ContentHasher::State {
    crypto_generichash_state blake2b{};
};

ContentHasher::ContentHasher() : state_(std::make_unique<State>()) {
    crypto_generichash_init(&state_->blake2b, nullptr, 0, ContentHash{}.size());
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::add(const void* data, std::size_t size) {
    crypto_generichash_update(&state_->blake2b, static_cast<const unsigned char*>(data), size);
}

ContentHash ContentHasher::finish() {
    ContentHash hash{};
    crypto_generichash_final(&state_->blake2b, hash.data(), hash.size());
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

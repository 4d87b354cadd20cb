#include "trust/content_hash.h"

#include "trust/crypto_library.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sodium.h>

#include <cerrno>
#include <vector>

namespace gd {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;

class Hasher {
  public:
    Hasher() { crypto_generichash_init(&state_, nullptr, 0, ContentHash{}.size()); }
    void add(const void* data, std::size_t size) {
        crypto_generichash_update(&state_, static_cast<const unsigned char*>(data), size);
    }
    ContentHash finish() {
        ContentHash hash{};
        crypto_generichash_final(&state_, hash.data(), hash.size());
        return hash;
    }

  private:
    crypto_generichash_state state_{};
};

}  // namespace

std::optional<ContentHash> hashContent(std::string_view bytes) {
    if (!cryptoReady()) return std::nullopt;
    Hasher hasher;
    hasher.add(bytes.data(), bytes.size());
    return hasher.finish();
}

std::optional<ContentHash> hashFile(const std::filesystem::path& path) {
    if (!cryptoReady()) return std::nullopt;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    Hasher hasher;
    std::vector<char> buffer(kReadSize);
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return hasher.finish();
        hasher.add(buffer.data(), static_cast<std::size_t>(got));
    }
}

}  // namespace gd

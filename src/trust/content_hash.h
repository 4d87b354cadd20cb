// BLAKE2b-512, the hash that minisign's default algorithm signs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace gd {

using ContentHash = std::array<std::uint8_t, 64>;

// The hash of bytes that arrive in pieces. Only made once cryptoReady() holds.
class ContentHasher {
  public:
    ContentHasher();
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;
    ~ContentHasher();

    void add(const void* data, std::size_t size);
    ContentHash finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

std::optional<ContentHash> hashContent(std::string_view bytes);
// Reads the file in pieces, so that its size costs no memory; nullopt when
// it cannot be read.
std::optional<ContentHash> hashFile(const std::filesystem::path& path);
// The whole content of the open file `fd`, from its first byte whatever its
// offset (which stays as it was), so that what is hashed is the very file the
// caller holds; nullopt when it cannot be read.
std::optional<ContentHash> hashDescriptor(int fd);

}  // namespace gd

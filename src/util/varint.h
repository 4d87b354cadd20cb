// Unsigned LEB128 numbers (7 bits a byte, low bits first) and their zigzag
// form for signed ones: the compact integers of binary formats that are
// compressed afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gd {

void appendVarint(std::string& out, std::uint64_t value);
void appendSignedVarint(std::string& out, std::int64_t value);
// Length-prefixed bytes.
void appendBytes(std::string& out, std::string_view bytes);

// Reads from the front of a byte range; every read fails (nullopt) past its
// end or on a number longer than 64 bits, and the reader stays failed.
class VarintReader {
  public:
    explicit VarintReader(std::string_view bytes) : rest_(bytes) {}

    // Inline for the one-byte numbers that most records of a diff are made
    // of; the rest are read out of line.
    std::optional<std::uint64_t> number() {
        if (!failed_ && !rest_.empty() && static_cast<std::uint8_t>(rest_.front()) < 0x80) {
            const auto byte = static_cast<std::uint8_t>(rest_.front());
            rest_.remove_prefix(1);
            return byte;
        }
        return longNumber();
    }
    std::optional<std::int64_t> signedNumber() {
        const auto bits = number();
        if (!bits) return std::nullopt;
        return static_cast<std::int64_t>((*bits >> 1) ^ (~(*bits & 1) + 1));
    }
    std::optional<std::string_view> bytes();  // length-prefixed
    std::optional<std::string_view> take(std::size_t count);
    bool atEnd() const { return rest_.empty(); }
    std::size_t remaining() const { return rest_.size(); }
    bool failed() const { return failed_; }

  private:
    std::optional<std::uint64_t> longNumber();

    std::string_view rest_;
    bool failed_ = false;
};

}  // namespace gd

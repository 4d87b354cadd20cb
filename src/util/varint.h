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

    std::optional<std::uint64_t> number();
    std::optional<std::int64_t> signedNumber();
    std::optional<std::string_view> bytes();  // length-prefixed
    std::optional<std::string_view> take(std::size_t count);
    bool atEnd() const { return rest_.empty(); }
    std::size_t remaining() const { return rest_.size(); }
    bool failed() const { return failed_; }

  private:
    std::string_view rest_;
    bool failed_ = false;
};

}  // namespace gd

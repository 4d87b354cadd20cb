#include "util/varint.h"

namespace gd {

void appendVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void appendSignedVarint(std::string& out, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    appendVarint(out, (bits << 1) ^ (value < 0 ? ~std::uint64_t{0} : 0));
}

void appendBytes(std::string& out, std::string_view bytes) {
    appendVarint(out, bytes.size());
    out.append(bytes);
}

std::optional<std::uint64_t> VarintReader::longNumber() {
    std::uint64_t value = 0;
    for (int shift = 0; !failed_ && !rest_.empty() && shift < 64; shift += 7) {
        const auto byte = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        // The tenth byte may only carry the top bit.
        if (shift == 63 && byte > 1) break;
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) return value;
    }
    failed_ = true;
    return std::nullopt;
}

std::optional<std::string_view> VarintReader::bytes() {
    const auto length = number();
    if (!length) return std::nullopt;
    return take(*length);
}

std::optional<std::string_view> VarintReader::take(std::size_t count) {
    if (failed_ || count > rest_.size()) {
        failed_ = true;
        return std::nullopt;
    }
    const std::string_view taken = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return taken;
}

}  // namespace gd

#include "util/varint.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

namespace {

// Numbers of every length, read by the one-byte path or the longer one.
TEST(Varint, ReadsBackWhatWasWrittenAndRefusesWhatNoWriterMakes) {
    const struct {
        const char* name;
        std::string bytes;
        std::optional<std::uint64_t> first, second;  // two numbers read in turn
    } rows[] = {
        {"one byte, then two", std::string("\x7f\x80\x01", 3), 127, 128},
        {"the largest number", std::string(9, '\xff') + "\x01" + "\x05", UINT64_MAX, 5},
        {"a tenth byte carrying more than the top bit", std::string(9, '\xff') + "\x02",
         std::nullopt, std::nullopt},
        // The reader stays failed: the last byte is never read as a number.
        {"eleven bytes", std::string(10, '\x80') + std::string(1, '\0'), std::nullopt,
         std::nullopt},
        {"cut short", std::string("\x80", 1), std::nullopt, std::nullopt},
        {"nothing", "", std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        gd::VarintReader in(row.bytes);
        EXPECT_EQ(in.number(), row.first);
        EXPECT_EQ(in.number(), row.second);
        EXPECT_EQ(in.failed(), !row.second.has_value());
    }
    for (const std::int64_t value :
         std::initializer_list<std::int64_t>{0, -1, 63, -64, 64, INT64_MIN, INT64_MAX}) {
        std::string bytes;
        gd::appendSignedVarint(bytes, value);
        EXPECT_EQ(gd::VarintReader(bytes).signedNumber(), value) << value;
    }
}

}  // namespace

#include "size.h"

#include <gtest/gtest.h>

TEST(ParseSize, TakesWhatHexadecimalFormattedInputTakes) {
    struct {
        const char* text;
        std::uint32_t size;
    } const good[] = {{"0", 0},          {"7ff", 0x7FF},       {"800", 0x800},   {"0x900", 0x900},
                      {"0XaBc", 0xABC},  {"FFFFFFFF", 0xFFFFFFFF}, {"000000000800", 0x800}, {" +10", 0x10},
                      {"abcdef", 0xABCDEF}, {"ABCDEF", 0xABCDEF}, {"\t\n\v\f\r 10", 0x10}};
    for (const auto& c : good) {
        std::uint32_t size = 12345;
        EXPECT_TRUE(parseSize(c.text, size)) << c.text;
        EXPECT_EQ(size, c.size) << c.text;
    }
}

TEST(ParseSize, RefusesAnythingElseAndLeavesTheSizeAlone) {
    for (const char* text : {"", " ", "0x", "xyz", "-1", "-0", "100000000", "fffffffff", "10000000000000000", "800k", "8 00", "0x-8", "g"}) {
        std::uint32_t size = 12345;
        EXPECT_FALSE(parseSize(text, size)) << '"' << text << '"';
        EXPECT_EQ(size, 12345u) << text;
    }
}

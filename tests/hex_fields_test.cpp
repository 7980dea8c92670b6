#include "protocol/HexFields.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace {

struct FieldCase {
    const char* text;  // the field, followed by characters the reader must not take in
    std::int32_t hex2;
    std::int32_t hex3;
};

TEST(ParseHex, ReadsTheFieldLikeStrtolAndNothingBeyondIt) {
    const FieldCase cases[] = {
        {"12345", 0x12, 0x123},  // digits after the field are not part of it
        {"aBcD", 0xAB, 0xABC},
        {"fF00", 0xFF, 0xFF0},
        {" F12", 0x0F, 0x0F1},  // leading white space
        {"\tA1", 0x0A, 0x0A1},
        {"  12", 0, 0x1},
        {"-1FF", -1, -0x1F},  // a sign
        {"+F12", 0x0F, 0x0F1},
        {"0x1F", 0, 0x1},  // "0x" with no digit inside the field reads the 0
        {"0XF1", 0, 0xF},
        {"-0x1", 0, 0},
        {"ZZZZ", 0, 0},  // no digits
        {"5Z12", 0x05, 0x05},
        {"1Z23", 0x01, 0x01},
        {"   1", 0, 0},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseHex2(c.text), c.hex2);
        EXPECT_EQ(ParseHex3(c.text), c.hex3);
    }
}

TEST(ParseHex, StopsAtAnEmbeddedNul) {
    const char field[] = {'1', '\0', '2', '3'};
    EXPECT_EQ(ParseHex2(field), 0x1);
    EXPECT_EQ(ParseHex3(field), 0x1);
}

TEST(ParseHex, FieldAtTheVeryEndOfTheTextIsReadWithoutItsTerminator) {
    // A field without a terminator after it: the reader must copy, not run on.
    std::vector<char> exact = {'7', 'E'};
    EXPECT_EQ(ParseHex2(exact.data()), 0x7E);
    std::vector<char> exact3 = {'1', 'F', '4'};
    EXPECT_EQ(ParseHex3(exact3.data()), 0x1F4);
}

struct BytesCase {
    const char* text;
    std::deque<std::uint8_t> bytes;
};

TEST(ParseHexBytes, ReadsBlankSeparatedPairs) {
    const BytesCase cases[] = {
        {"", {}},
        {"01", {0x01}},
        {"01 03 90 93", {0x01, 0x03, 0x90, 0x93}},
        {"c4 d2 Df", {0xC4, 0xD2, 0xDF}},
        {"01 03 ", {0x01, 0x03}},   // trailing blank accepted
        {"01 03 9", {0x01, 0x03}},  // a lone character at the end is dropped
        {"ZZ 5Z", {0x00, 0x05}},    // pairs read as ParseHex2 reads them
        {"-1 02", {0xFF, 0x02}},    // low 8 bits of -1
        {"01  03", {}},             // two blanks put a digit at a separator
        {"01-03", {}},              // any other separator empties the queue
        {"01 03\r", {}},            // a carriage return at a separator is no blank
        {"01 03 90,93", {}},
    };
    for (const BytesCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseHexBytes(c.text), c.bytes);
    }
}

TEST(ParseHexBytes, KeepsEveryByteOfALongText) {
    std::string text;
    std::deque<std::uint8_t> expected;
    for (int i = 0; i < 256; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", i);
        text += pair;
        expected.push_back(static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(ParseHexBytes(text), expected);
}

}  // namespace

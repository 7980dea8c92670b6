#include "app/ShownText.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ShownCase {
    std::string text;
    std::string shown;
};

class ShownTextTest : public ::testing::TestWithParam<ShownCase> {};

TEST_P(ShownTextTest, ControlAndNonAsciiBytesAreEscaped) {
    EXPECT_EQ(ShownText(GetParam().text).c_str(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ShownTextTest,
    ::testing::Values(
        // Ordinary traffic, byte for byte: the tab and the carriage return stay.
        ShownCase{"Q 03 3F 85 B9", "Q 03 3F 85 B9"}, ShownCase{"CV00103\rP", "CV00103\rP"},
        ShownCase{"200 Ok\r", "200 Ok\r"}, ShownCase{"a\tb", "a\tb"}, ShownCase{"", ""},
        ShownCase{" ~", " ~"},
        // A terminal's escape sequences and bell.
        ShownCase{"V\x1b[2J\x07", "V\\x1B[2J\\x07"},
        ShownCase{"\x1b]0;title\x07", "\\x1B]0;title\\x07"},
        // NUL no longer cuts the line short.
        ShownCase{std::string("E\0F", 3), "E\\x00F"},
        // The edges of the printable range, line ends, DEL, bytes above 0x7F.
        ShownCase{"\x1f\x7f", "\\x1F\\x7F"}, ShownCase{"a\nb", "a\\x0Ab"},
        ShownCase{"caf\xc3\xa9", "caf\\xC3\\xA9"}, ShownCase{"\x80\xff", "\\x80\\xFF"}));

TEST(ShownTextTest, TextThatNeedsNoEscapeIsNotCopied) {
    const std::string text = "[long ordinary message]";
    EXPECT_EQ(ShownText(text).c_str(), text.c_str());
}

}  // namespace

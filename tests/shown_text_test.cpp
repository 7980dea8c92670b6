#include "base/ShownText.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct ShownCase {
    const char* name;
    std::string text;
    std::string shown;
};

void PrintTo(const ShownCase& c, std::ostream* out) {
    *out << c.name;
}

class ShownTextTest : public ::testing::TestWithParam<ShownCase> {};

TEST_P(ShownTextTest, ControlAndNonAsciiBytesAreEscaped) {
    EXPECT_EQ(ShownText(GetParam().text).c_str(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ShownTextTest,
    ::testing::Values(
        // Ordinary traffic, byte for byte: the tab, and the carriage return that ends a line.
        ShownCase{"Message", "Q 03 3F 85 B9", "Q 03 3F 85 B9"},
        ShownCase{"StatusLine", "200 Ok\r", "200 Ok\r"}, ShownCase{"Tab", "a\tb", "a\tb"},
        ShownCase{"CarriageReturnAlone", "\r", "\r"},
        // A carriage return anywhere else would send the cursor back over the line.
        ShownCase{"CarriageReturnInsideALine", "200 Ok\r[D Recv] 300 Cmd err\r",
                  "200 Ok\\x0D[D Recv] 300 Cmd err\r"},
        ShownCase{"CvReply", "CV00103\rP", "CV00103\\x0DP"},
        ShownCase{"TwoAtTheEnd", "Ok\r\r", "Ok\\x0D\r"},
        ShownCase{"LeadingCarriageReturn", "\rOk", "\\x0DOk"}, ShownCase{"Empty", "", ""},
        ShownCase{"PrintableEdges", " ~", " ~"},
        // A terminal's escape sequences and bell.
        ShownCase{"EraseScreenAndBell", "V\x1b[2J\x07", "V\\x1B[2J\\x07"},
        ShownCase{"TitleSequence", "\x1b]0;title\x07", "\\x1B]0;title\\x07"},
        // NUL no longer cuts the line short.
        ShownCase{"Nul", std::string("E\0F", 3), "E\\x00F"},
        // The edges of the printable range, line ends, DEL, bytes above 0x7F.
        ShownCase{"ControlEdgeAndDelete", "\x1f\x7f", "\\x1F\\x7F"},
        ShownCase{"LineFeed", "a\nb", "a\\x0Ab"}, ShownCase{"Utf8", "caf\xc3\xa9", "caf\\xC3\\xA9"},
        ShownCase{"HighBytes", "\x80\xff", "\\x80\\xFF"}),
    [](const ::testing::TestParamInfo<ShownCase>& info) { return std::string(info.param.name); });

TEST(ShownTextTest, TextThatNeedsNoEscapeIsNotCopied) {
    const std::string text = "[long ordinary message]";
    EXPECT_EQ(ShownText(text).c_str(), text.c_str());
}

}  // namespace

#include "station/StationLine.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Kind = StationLine::Kind;

struct StatusCase {
    const char* name;
    std::string text;
    Kind kind;
    std::int32_t code;
};

TEST(StationLine, AStatusLineIsReadByItsFirstField) {
    const StatusCase cases[] = {
        {"CR LF line", "200 Ok\r", Kind::Status, 200},
        {"code alone", "200", Kind::Status, 200},
        {"ready notice", "100 Ready\r", Kind::Status, 100},
        {"CR right after the code", "301\r", Kind::Status, 301},
        {"tab ends the code", "200\tOk", Kind::Status, 200},
        {"vertical tab ends the code", "250\vOk", Kind::Status, 250},
        {"form feed ends the code", "299\fOk", Kind::Status, 299},
        {"sign and trailing text", "-12x", Kind::Status, -12},
        {"plus sign", "+7", Kind::Status, 7},
        {"zero", "0 Zero", Kind::Status, 0},
        {"huge code saturates", "99999999999 Big", Kind::Status, 2147483647},
        {"huge negative code saturates", "-99999999999", Kind::Status, -2147483647 - 1},
        // atoi of the first field only: digits after other text do not count.
        {"text", "Desktop Station air\r", Kind::Text, 0},
        {"text then digits", "x200 Ok", Kind::Text, 0},
        {"leading space", " 200 Ok", Kind::Text, 0},
        {"leading tab", "\t200 Ok", Kind::Text, 0},
        {"leading CR", "\r200", Kind::Text, 0},
        {"empty line", "", Kind::Text, 0},
        {"CR alone", "\r", Kind::Text, 0},
        {"sign alone", "- 200", Kind::Text, 0},
        {"two signs", "--200", Kind::Text, 0},
    };
    for (const StatusCase& c : cases) {
        const StationLine line(c.text);
        EXPECT_EQ(line.kind(), c.kind) << c.name;
        EXPECT_EQ(line.Code(), c.code) << c.name;
        EXPECT_EQ(line.Tag(), "") << c.name;
        EXPECT_TRUE(line.Fields().empty()) << c.name;
    }
}

TEST(StationLine, ReadyNoticeAndCompletingCodes) {
    struct CodeCase {
        const char* text;
        bool ready;
        bool completes;
    };
    const CodeCase cases[] = {
        {"100 Ready", true, false},
        {"100 Ready\r", true, false},
        // Only the station's exact notice ends a boot or tells of a reset: another line with the
        // code 100 would end a CV read's wait as a reset (found by fuzz_station).
        {"100k", false, false},
        {"100k\r", false, false},
        {"100", false, false},
        {"100 Ready\r\r", false, false},
        {"100 ready", false, false},
        {"100  Ready", false, false},
        {"100 Ready!", false, false},
        {"100\tReady", false, false},
        {" 100 Ready", false, false},
        {"101 Ready", false, false},
        {"199 x", false, false},
        {"200 Ok", false, true},
        {"299 Err", false, true},
        {"300 Cmd err", false, true},
        {"301 Stx err", false, true},
        {"399 x", false, true},
        {"400 x", false, false},
        {"0", false, false},
        {"Ready 100", false, false},
        {"@100", false, false},
        {"@200,1", false, false},
    };
    for (const CodeCase& c : cases) {
        const std::string text = c.text;
        const StationLine line(text);
        EXPECT_EQ(line.IsReadyNotice(), c.ready) << c.text;
        EXPECT_EQ(line.Completes(), c.completes) << c.text;
    }
}

struct DataCase {
    const char* name;
    std::string text;
    std::string tag;
    std::vector<std::string> fields;
};

TEST(StationLine, ADataLineIsSplitAtCommas) {
    const DataCase cases[] = {
        {"four values", "@CV,1,2,3,4", "CV", {"1", "2", "3", "4"}},
        {"device form keeps the CR in the last field",
         "@CV,49162,8,129,\r",
         "CV",
         {"49162", "8", "129", "\r"}},
        {"adjacent commas", "@CV,1,,3", "CV", {"1", "", "3"}},
        {"tag alone", "@CV", "CV", {}},
        {"tag with trailing comma", "@CV,", "CV", {""}},
        {"tag keeps its case", "@cv,1", "cv", {"1"}},
        {"ping answer",
         "@DSG,00,03,00,02,00,00,00,00\r",
         "DSG",
         {"00", "03", "00", "02", "00", "00", "00", "00\r"}},
        {"a tag is everything up to the comma", "@CVWrite,1,3", "CVWrite", {"1", "3"}},
        {"empty tag", "@,a,b", "", {"a", "b"}},
        {"at sign alone", "@", "", {}},
        {"white space is not a separator", "@CV 1,2", "CV 1", {"2"}},
    };
    for (const DataCase& c : cases) {
        const StationLine line(c.text);
        EXPECT_EQ(line.kind(), Kind::Data) << c.name;
        EXPECT_EQ(line.Tag(), c.tag) << c.name;
        EXPECT_EQ(line.Fields(), c.fields) << c.name;
        EXPECT_EQ(line.Code(), 0) << c.name;
    }
}

TEST(StationLine, NumbersAreReadLikeAtoi) {
    struct NumberCase {
        const char* text;
        std::int32_t value;
    };
    const NumberCase cases[] = {
        {"145", 145},
        {" 8x", 8},
        {"-3y", -3},
        {"+12", 12},
        {"", 0},
        {"abc", 0},
        {"\t\r\n 7", 7},
        {"- 7", 0},
        {"65535", 65535},
        {"\r", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
    };
    for (const NumberCase& c : cases)
        EXPECT_EQ(StationLine::ReadNumber(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace

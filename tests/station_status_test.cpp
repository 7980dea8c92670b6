#include "station/StationStatus.hpp"

#include "tests/support/StatusLineText.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::string With(std::string body, std::size_t at, char c) {
    body[at] = c;
    return body;
}

TEST(StationStatus, TheFieldsAreReadFromTheirPlaces) {
    struct Case {
        const char* name;
        std::string line;
        bool trackOn;
        int error;
        char firmware;
        int supply;
        char hardware;
        int counter;
    };
    const Case cases[] = {
        {"as the station sends it", "@DSS," + StatusBody() + "\r", false, 0, '8', 148, '2', 17},
        {"without the carriage return", "@DSS," + StatusBody(), false, 0, '8', 148, '2', 17},
        {"track on after setPower(1)", "@DSS," + StatusBody('Y', '1') + "\r", true, 1, '8', 148,
         '2', 17},
        {"tripped by a short", "@DSS," + StatusBody('N', '8', "152") + "\r", false, 8, '8', 152,
         '2', 17},
        {"supply too low", "@DSS," + StatusBody('N', '2', "085") + "\r", false, 2, '8', 85, '2',
         17},
        {"supply too high, another firmware and board",
         "@DSS," + StatusBody('N', '4', "999", 'A', '3', "00"), false, 4, 'A', 999, '3', 0},
        {"no supply at all", "@DSS," + StatusBody('N', '0', "000", '8', '2', "99"), false, 0, '8',
         0, '2', 99},
    };
    for (const Case& c : cases) {
        const std::optional<StationStatus> status = StationStatus::Parse(c.line);
        ASSERT_TRUE(status.has_value()) << c.name;
        EXPECT_EQ(status->TrackOn(), c.trackOn) << c.name;
        EXPECT_EQ(status->Error(), c.error) << c.name;
        EXPECT_EQ(status->Firmware(), c.firmware) << c.name;
        EXPECT_EQ(status->SupplyTenths(), c.supply) << c.name;
        EXPECT_EQ(status->Hardware(), c.hardware) << c.name;
        EXPECT_EQ(status->Counter(), c.counter) << c.name;
    }
}

TEST(StationStatus, OnlyTheErrorsThatKeepTheTrackOffAreFaults) {
    const struct {
        char error;
        bool fault;
    } cases[] = {{'0', false}, {'1', false}, {'2', true}, {'3', false},
                 {'4', true},  {'5', false}, {'8', true}, {'9', false}};
    for (const auto& c : cases) {
        const auto status = StationStatus::Parse("@DSS," + StatusBody('N', c.error));
        ASSERT_TRUE(status.has_value()) << c.error;
        EXPECT_EQ(status->Fault(), c.fault) << c.error;
    }
}

// What does not have the station's form is not read at all: no field is guessed from it.
TEST(StationStatus, ALineOfAnotherFormIsNoStatus) {
    const std::string body = StatusBody();
    const struct {
        const char* name;
        std::string line;
    } cases[] = {
        {"empty", ""},
        {"the tag alone", "@DSS"},
        {"the tag and its comma", "@DSS,"},
        {"the tag and its comma and CR", "@DSS,\r"},
        {"one character short", "@DSS," + body.substr(0, 264)},
        {"one character short, with CR", "@DSS," + body.substr(0, 264) + "\r"},
        {"one character too many", "@DSS," + body + "0"},
        {"two carriage returns", "@DSS," + body + "\r\r"},
        {"another tag", "@DSG," + body},
        {"tag in lower case", "@dss," + body},
        {"no at sign", "DSS," + body},
        {"a status line", "200 Ok\r"},
        {"the ping's first line", "@DSG,00,03,00,02,00,00,00,00\r"},
        {"power neither Y nor N", "@DSS," + With(body, 0, 'y')},
        {"error not a digit", "@DSS," + With(body, 2, 'E')},
        {"firmware not a letter or digit", "@DSS," + With(body, 4, ' ')},
        {"supply not three digits", "@DSS," + With(body, 9, ' ')},
        {"supply with a sign", "@DSS," + With(body, 8, '-')},
        {"hardware not a letter or digit", "@DSS," + With(body, 15, '\0')},
        {"counter not two digits", "@DSS," + With(body, 18, 'x')},
        // A field one place off would read the wrong characters as the supply or the error.
        {"a comma missing", "@DSS," + With(body, 7, '0')},
        {"a semicolon missing", "@DSS," + With(body, 112, ',')},
        {"shifted by one", "@DSS,0" + body.substr(0, 264)},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(StationStatus::Parse(c.line).has_value()) << c.name;
}

}  // namespace

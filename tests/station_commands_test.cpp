#include "station/NDSDCC.hpp"

#include "base/ConsoleLog.hpp"
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ConsoleCapture.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

// Names in failure messages instead of bytes.
static void PrintTo(CommandOutcome outcome, std::ostream* out) {
    const char* const names[] = {"Done", "Refused", "Unknown", "NotSent"};
    *out << names[static_cast<int>(outcome)];
}

namespace {

using namespace std::chrono_literals;

struct CommandCase {
    std::function<bool()> call;          // the operation
    std::function<std::string()> build;  // its text, for Execute
    const char* text;
    bool answered;  // the station carries it out
};

std::int32_t readValue = 0;
constexpr auto kSteps28 = NDSDCC::SpeedMode::Steps28;
constexpr auto kSteps128 = NDSDCC::SpeedMode::Steps128;
constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();

const std::vector<CommandCase>& Commands() {
    static const std::vector<CommandCase> cases = {
        {[] { return NDSDCC::SetPing(); }, [] { return NDSDCC::PingCommand(); }, "setPing()", true},
        {[] { return NDSDCC::PowerOn(); }, [] { return NDSDCC::PowerCommand(true); }, "setPower(1)",
         true},
        {[] { return NDSDCC::PowerOff(); }, [] { return NDSDCC::PowerCommand(false); },
         "setPower(0)", true},
        {[] { return NDSDCC::SetLocoSpeed(3, 1023, kSteps128); },
         [] { return NDSDCC::SpeedCommand(3, 1023, kSteps128); }, "setLocoSpeed(49155,1023,2)",
         true},
        {[] { return NDSDCC::SetLocoSpeed(0, 0, kSteps28); },
         [] { return NDSDCC::SpeedCommand(0, 0, kSteps28); }, "setLocoSpeed(49152,0,0)", true},
        {[] { return NDSDCC::SetLocoSpeed(1234, 512, kSteps128); },
         [] { return NDSDCC::SpeedCommand(1234, 512, kSteps128); }, "setLocoSpeed(50386,512,2)",
         true},
        {[] { return NDSDCC::SetLocoDirection(3, true); },
         [] { return NDSDCC::DirectionCommand(3, true); }, "setLocoDirection(49155,1)", true},
        {[] { return NDSDCC::SetLocoDirection(3, false); },
         [] { return NDSDCC::DirectionCommand(3, false); }, "setLocoDirection(49155,2)", true},
        {[] { return NDSDCC::SetLocoFunction(3, 0, true); },
         [] { return NDSDCC::FunctionCommand(3, 0, true); }, "setLocoFunction(49155,0,1)", true},
        {[] { return NDSDCC::SetLocoFunction(10239, 28, false); },
         [] { return NDSDCC::FunctionCommand(10239, 28, false); }, "setLocoFunction(59391,28,0)",
         true},
        {[] { return NDSDCC::SetTurnout(0, true); }, [] { return NDSDCC::TurnoutCommand(0, true); },
         "setTurnout(14336,1)", true},
        {[] { return NDSDCC::SetTurnout(2043, false); },
         [] { return NDSDCC::TurnoutCommand(2043, false); }, "setTurnout(16379,0)", true},
        {[] { return NDSDCC::SetLocoConfig(1, 3); },
         [] { return NDSDCC::ConfigWriteCommand(1, 3); }, "setLocoConfig(49152,1,3)", true},
        {[] { return NDSDCC::SetLocoConfig(29, -1); },
         [] { return NDSDCC::ConfigWriteCommand(29, -1); }, "setLocoConfig(49152,29,-1)", false},
        {[] { return NDSDCC::GetLocoConfig(8, readValue); },
         [] { return NDSDCC::ConfigReadCommand(8); }, "getLocoConfig(49152,8)", true},
        // Nothing is validated; the address sum wraps like 32-bit arithmetic.
        {[] { return NDSDCC::SetLocoSpeed(-49152, -5, kSteps28); },
         [] { return NDSDCC::SpeedCommand(-49152, -5, kSteps28); }, "setLocoSpeed(0,-5,0)", false},
        {[] { return NDSDCC::SetLocoSpeed(kMaxInt, 0, kSteps128); },
         [] { return NDSDCC::SpeedCommand(kMaxInt, 0, kSteps128); },
         "setLocoSpeed(-2147434497,0,2)", false},
        {[] { return NDSDCC::SetTurnout(kMaxInt, true); },
         [] { return NDSDCC::TurnoutCommand(kMaxInt, true); }, "setTurnout(-2147469313,1)", false},
    };
    return cases;
}

class StationCommands : public ::testing::Test {
protected:
    // The link is process-wide; leave it closed for the next case.
    void TearDown() override { NDSDCC::Close(); }

    void StartStation(SimOptions options = {}) {
        station = std::make_unique<DSAir2Simulator>(std::move(options));
        std::string error;
        ASSERT_TRUE(station->Start(error)) << error;
    }

    std::unique_ptr<DSAir2Simulator> station;
};

TEST(StationCommandTexts, EveryTextIsBuiltAsTheOperationSendsIt) {
    for (const CommandCase& c : Commands())
        EXPECT_EQ(c.build(), c.text);
}

TEST_F(StationCommands, EveryCommandIsRefusedBeforeTheHandshake) {
    ConsoleCapture console;
    for (const CommandCase& c : Commands()) {
        const std::vector<std::string> expected = {std::string("[D Send] ") + c.text + "\n",
                                                   "No connection to DSAir2!\n"};
        console.Clear();
        readValue = 11;
        EXPECT_FALSE(c.call()) << c.text;
        EXPECT_EQ(console.Lines(), expected) << c.text;
        EXPECT_EQ(readValue, 11) << c.text;

        console.Clear();
        EXPECT_EQ(NDSDCC::Execute(c.build()), CommandOutcome::NotSent) << c.text;
        EXPECT_EQ(console.Lines(), expected) << c.text;
    }
    console.Clear();
    EXPECT_EQ(NDSDCC::ReadCv(8, readValue), CommandOutcome::NotSent);
    EXPECT_EQ(readValue, 11);
    EXPECT_EQ(console.Lines(), (std::vector<std::string>{"[D Send] getLocoConfig(49152,8)\n",
                                                         "No connection to DSAir2!\n"}));
}

TEST_F(StationCommands, EveryCommandReachesTheStationAsText) {
    StartStation();
    ConsoleCapture console;
    ASSERT_TRUE(NDSDCC::Open(station->Path().c_str()));
    EXPECT_EQ(NDSDCC::LastOpenFailure(), NDSDCC::OpenFailure::None);
    EXPECT_EQ(NDSDCC::LastDevicePath(), station->Path());

    std::size_t sent = station->Commands().size();
    for (const CommandCase& c : Commands()) {
        console.Clear();
        const bool result = c.call();
        if (c.answered) {
            EXPECT_TRUE(result) << c.text;
        }
        ASSERT_TRUE(station->WaitForCommands(++sent, 5s)) << c.text;
        EXPECT_EQ(station->Commands().back(), c.text);
        const std::vector<std::string> lines = console.Lines();
        ASSERT_FALSE(lines.empty()) << c.text;
        EXPECT_EQ(lines.front(), std::string("[D Send] ") + c.text + "\n");

        const CommandOutcome outcome = NDSDCC::Execute(c.build());
        if (c.answered) {
            EXPECT_EQ(outcome, CommandOutcome::Done) << c.text;
        }
        ASSERT_TRUE(station->WaitForCommands(++sent, 5s)) << c.text;
        EXPECT_EQ(station->Commands().back(), c.text);
    }
}

TEST_F(StationCommands, CvReadReportsTheStationsValue) {
    StartStation();
    ASSERT_TRUE(NDSDCC::Open(station->Path().c_str()));
    station->SetCv(8, 129);
    station->SetCv(30, 65535);

    std::int32_t value = 0;
    EXPECT_TRUE(NDSDCC::GetLocoConfig(8, value));
    EXPECT_EQ(value, 129);
    EXPECT_FALSE(NDSDCC::GetLocoConfig(30, value));
    EXPECT_EQ(value, 65535);

    EXPECT_TRUE(NDSDCC::SetLocoConfig(3, 42));
    value = 0;
    EXPECT_EQ(NDSDCC::ReadCv(3, value), CommandOutcome::Done);
    EXPECT_EQ(value, 42);
    value = 0;
    EXPECT_EQ(NDSDCC::ReadCv(30, value), CommandOutcome::Refused);
    EXPECT_EQ(value, 65535);
}

// Another device may differ from a path only in case: the path is opened exactly as given.
TEST_F(StationCommands, OpenTakesAPathExactlyAsGiven) {
    SimOptions options;
    options.linkPath = "/tmp/railmux-link-" + std::to_string(::getpid());
    StartStation(options);
    std::string upper = options.linkPath;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });

    EXPECT_FALSE(NDSDCC::Open(upper.c_str()));
    EXPECT_EQ(NDSDCC::LastDevicePath(), upper);
    NDSDCC::Close();  // no more attempts in the background
    ASSERT_TRUE(NDSDCC::Open(options.linkPath.c_str()));
    EXPECT_EQ(NDSDCC::LastDevicePath(), options.linkPath);
    EXPECT_TRUE(NDSDCC::PowerOn());
    EXPECT_TRUE(station->State().power);
}

TEST_F(StationCommands, OpenReportsWhyItFailed) {
    EXPECT_FALSE(NDSDCC::Open("TTYRAILMUXNONE"));
    EXPECT_EQ(NDSDCC::LastOpenFailure(), NDSDCC::OpenFailure::DeviceNotOpened);
    EXPECT_EQ(NDSDCC::LastDevicePath(), "/dev/TTYRAILMUXNONE");
    NDSDCC::Close();  // no more attempts in the background

    SimOptions options;
    options.statusFor["setPing"] = 201;
    StartStation(options);
    EXPECT_FALSE(NDSDCC::Open(station->Path().c_str()));
    EXPECT_EQ(NDSDCC::LastOpenFailure(), NDSDCC::OpenFailure::PingFailed);
    EXPECT_FALSE(NDSDCC::PowerOn());  // refused: the failed handshake closed the link
    // Reconnection attempts in the background may ping again, but send nothing else.
    ASSERT_FALSE(station->Commands().empty());
    for (const std::string& command : station->Commands())
        EXPECT_EQ(command, "setPing()");
}

}  // namespace

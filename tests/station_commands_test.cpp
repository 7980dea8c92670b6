#include "station/NDSDCC.hpp"

#include "base/ConsoleLog.hpp"
#include "sim/DSAir2Simulator.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct CommandCase {
    std::function<bool()> call;
    const char* text;
    bool answered;  // the station carries it out
};

std::int32_t readValue = 0;
constexpr auto kSteps28 = NDSDCC::SpeedMode::Steps28;
constexpr auto kSteps128 = NDSDCC::SpeedMode::Steps128;

const std::vector<CommandCase>& Commands() {
    static const std::vector<CommandCase> cases = {
        {[] { return NDSDCC::SetPing(); }, "setPing()", true},
        {[] { return NDSDCC::PowerOn(); }, "setPower(1)", true},
        {[] { return NDSDCC::PowerOff(); }, "setPower(0)", true},
        {[] { return NDSDCC::SetLocoSpeed(3, 1023, kSteps128); }, "setLocoSpeed(49155,1023,2)",
         true},
        {[] { return NDSDCC::SetLocoSpeed(0, 0, kSteps28); }, "setLocoSpeed(49152,0,0)", true},
        {[] { return NDSDCC::SetLocoSpeed(1234, 512, kSteps128); }, "setLocoSpeed(50386,512,2)",
         true},
        {[] { return NDSDCC::SetLocoDirection(3, true); }, "setLocoDirection(49155,1)", true},
        {[] { return NDSDCC::SetLocoDirection(3, false); }, "setLocoDirection(49155,2)", true},
        {[] { return NDSDCC::SetLocoFunction(3, 0, true); }, "setLocoFunction(49155,0,1)", true},
        {[] { return NDSDCC::SetLocoFunction(10239, 28, false); }, "setLocoFunction(59391,28,0)",
         true},
        {[] { return NDSDCC::SetTurnout(0, true); }, "setTurnout(14336,1)", true},
        {[] { return NDSDCC::SetTurnout(2043, false); }, "setTurnout(16379,0)", true},
        {[] { return NDSDCC::SetLocoConfig(1, 3); }, "setLocoConfig(49152,1,3)", true},
        {[] { return NDSDCC::SetLocoConfig(29, -1); }, "setLocoConfig(49152,29,-1)", false},
        {[] { return NDSDCC::GetLocoConfig(8, readValue); }, "getLocoConfig(49152,8)", true},
        // Nothing is validated; the address sum wraps like 32-bit arithmetic.
        {[] { return NDSDCC::SetLocoSpeed(-49152, -5, kSteps28); }, "setLocoSpeed(0,-5,0)", false},
        {[] {
             return NDSDCC::SetLocoSpeed(std::numeric_limits<std::int32_t>::max(), 0, kSteps128);
         },
         "setLocoSpeed(-2147434497,0,2)", false},
    };
    return cases;
}

class StationCommands : public ::testing::Test {
protected:
    void TearDown() override {
        SetConsoleSink(nullptr);
        NDSDCC::Close();  // the link is process-wide; leave it closed for the next case
    }

    std::vector<std::string> CaptureConsole() {
        std::lock_guard<std::mutex> lock(mutex_);
        return console_;
    }
    void StartCapture() {
        SetConsoleSink([this](const char* text, std::size_t size) {
            std::lock_guard<std::mutex> lock(mutex_);
            console_.emplace_back(text, size);
        });
    }
    void ClearCapture() {
        std::lock_guard<std::mutex> lock(mutex_);
        console_.clear();
    }

    void StartStation(SimOptions options = {}) {
        station = std::make_unique<DSAir2Simulator>(std::move(options));
        std::string error;
        ASSERT_TRUE(station->Start(error)) << error;
    }

    std::unique_ptr<DSAir2Simulator> station;

private:
    std::mutex mutex_;
    std::vector<std::string> console_;
};

TEST_F(StationCommands, EveryCommandIsRefusedBeforeTheHandshake) {
    StartCapture();
    for (const CommandCase& c : Commands()) {
        ClearCapture();
        readValue = 11;
        EXPECT_FALSE(c.call()) << c.text;
        EXPECT_EQ(CaptureConsole(),
                  (std::vector<std::string>{std::string("[D Send] ") + c.text + "\n",
                                            "No connection to DSAir2!\n"}));
        EXPECT_EQ(readValue, 11) << c.text;
    }
}

TEST_F(StationCommands, EveryCommandReachesTheStationAsText) {
    StartStation();
    StartCapture();
    ASSERT_TRUE(NDSDCC::Open(station->Path().c_str()));
    EXPECT_EQ(NDSDCC::LastOpenFailure(), NDSDCC::OpenFailure::None);
    EXPECT_EQ(NDSDCC::LastDevicePath(), station->Path());

    std::size_t sent = station->Commands().size();
    for (const CommandCase& c : Commands()) {
        ClearCapture();
        const bool result = c.call();
        if (c.answered) {
            EXPECT_TRUE(result) << c.text;
        }
        ASSERT_TRUE(station->WaitForCommands(++sent, 5s)) << c.text;
        EXPECT_EQ(station->Commands().back(), c.text);
        const std::vector<std::string> console = CaptureConsole();
        ASSERT_FALSE(console.empty()) << c.text;
        EXPECT_EQ(console.front(), std::string("[D Send] ") + c.text + "\n");
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
    EXPECT_TRUE(NDSDCC::GetLocoConfig(3, value));
    EXPECT_EQ(value, 42);
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

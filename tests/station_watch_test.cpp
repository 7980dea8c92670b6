// Railmux as a process watching an idle station: a short circuit or a weak supply is said on the
// console from the station's status line, an idle station that stops answering is found lost
// and reconnected, and the watch neither comes between a client's commands nor shows on the
// console.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/HealthLines.hpp"
#include "tests/support/RailmuxOnSim.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: what the issue bounds is asserted with its own bound.
constexpr auto kTimeout = 30s;

// Locomotive 3, 128 steps, forward at step.
std::string Drive(int step) {
    const unsigned speed = 0x80u | static_cast<unsigned>(step);
    char text[32];
    std::snprintf(text, sizeof text, "Q 03 3F %02X %02X", speed, 0x03u ^ 0x3Fu ^ speed);
    return text;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class StationWatch : public ::testing::Test {
protected:
    void Start(SimOptions options = {}) {
        railmux_ = std::make_unique<RailmuxOnSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(railmux_->Start(error)) << error;
        client_ = std::make_unique<TcpClient>(railmux_->Port());
        ASSERT_TRUE(client_->Connected());
    }
    // Whatever the station did, Railmux kept the pause it asks for after each answer.
    void TearDown() override {
        if (railmux_) {
            EXPECT_EQ(Sim().PacingViolations(), 0);
        }
    }

    DSAir2Simulator& Sim() { return railmux_->Sim(); }
    std::string Stdout() { return railmux_->Railmux().Stdout(); }
    bool Console(const std::string& text, std::chrono::milliseconds timeout = kTimeout,
                 std::size_t from = 0) {
        return railmux_->Railmux().WaitForStdout(text, timeout, from);
    }
    void Ask(const std::string& message, const std::string& reply = "O\r") {
        ASSERT_TRUE(client_->Send(message + "\r"));
        EXPECT_EQ(client_->ReadReplies(1, kTimeout), reply) << message;
    }
    bool StationState(const std::function<bool(const SimState&)>& condition) {
        return Sim().WaitForState(condition, kTimeout);
    }

    std::unique_ptr<RailmuxOnSim> railmux_;
    std::unique_ptr<TcpClient> client_;
};

struct ShortCase {
    const char* name;
    bool driving;  // a locomotive runs and its throttle repeats its packet every 0.5 s
};

void PrintTo(const ShortCase& c, std::ostream* out) {
    *out << c.name;
}

class ShortCircuit : public StationWatch, public ::testing::WithParamInterface<ShortCase> {};

// The station switches its track off and says nothing; the watch finds it in the status line
// within 6 s. "E" switches it on again, which clears the error: the supply is said again.
TEST_P(ShortCircuit, IsSaidWithin6sAndClearedByPowerOn) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Ask("E");
    ASSERT_TRUE(StationState([](const SimState& s) { return s.power; }));
    if (GetParam().driving) {
        Ask(Drive(40));
        ASSERT_TRUE(StationState([](const SimState& s) {
            const auto loco = s.locos.find(49155);
            return loco != s.locos.end() && loco->second.speed > 0;
        }));
    }

    // Right after a watch: the next one is furthest away.
    const std::size_t before = Sim().Commands().size();
    ASSERT_TRUE(Sim().WaitForCommands(before + 1, kTimeout));
    ASSERT_EQ(Sim().Commands().at(before), "setPing()");

    const Clock::time_point shorted = Clock::now();
    Sim().ShortCircuit();
    bool tripSaid = false;
    if (GetParam().driving) {
        // The throttle's repeats change nothing on the station: no command, so the watch goes on.
        while (!tripSaid && Clock::now() - shorted < 6s) {
            Ask(Drive(40));
            tripSaid = Console(kShortTrip, 500ms);
        }
    } else {
        tripSaid = Console(kShortTrip, 6s);
    }
    const auto took = Clock::now() - shorted;
    ASSERT_TRUE(tripSaid) << "no trip said within 6 s of the short:\n" << Stdout();
    EXPECT_LE(took, 6s);
    RecordProperty(
        "said_after_ms",
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    const SimState tripped = Sim().State();
    EXPECT_FALSE(tripped.power);
    EXPECT_EQ(tripped.error, 8);
    EXPECT_TRUE(Console(std::string(kShortTrip) + kSupply, 1s)) << Stdout();
    EXPECT_EQ(Count(Stdout(), kShortTrip), 1u);

    const std::size_t said = Stdout().size();
    Ask("E");
    ASSERT_TRUE(StationState([](const SimState& s) { return s.power && s.error == 1; }));
    EXPECT_TRUE(Console(kSupply, kTimeout, said)) << Stdout();
    EXPECT_EQ(Count(Stdout(), kShortTrip), 1u);
}

INSTANTIATE_TEST_SUITE_P(WhileIdleOrDriving, ShortCircuit,
                         ::testing::Values(ShortCase{"idle", false}, ShortCase{"driving", true}),
                         [](const ::testing::TestParamInfo<ShortCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(StationWatch, ALowSupplyAtStartUpIsSaidAndTripsThePowerOn) {
    SimOptions options;
    options.supplyVoltage = 8.5;
    ASSERT_NO_FATAL_FAILURE(Start(options));
    EXPECT_TRUE(Console("DSAir2 on " + Sim().Path() +
                        ": firmware 8, hardware DSAir2, track supply 8.5 V\n"))
        << Stdout();
    EXPECT_TRUE(Console(kLowWhileOff)) << Stdout();
    Ask("E");
    EXPECT_TRUE(Console(kLowTrip)) << Stdout();
    EXPECT_EQ(Count(Stdout(), kLowWhileOff), 1u);
    EXPECT_FALSE(Sim().State().power);
}

struct SilenceCase {
    const char* name;
    std::function<void(DSAir2Simulator&)> silence;
    std::function<void(DSAir2Simulator&)> restore;  // once the loss is said
    const char* reason;
};

void PrintTo(const SilenceCase& c, std::ostream* out) {
    *out << c.name;
}

class IdleStation : public StationWatch, public ::testing::WithParamInterface<SilenceCase> {};

// Nobody sends anything, and the station stops answering: the watch finds it gone within 9 s of
// the last command it answered, and the link reopens it.
TEST_P(IdleStation, ThatStopsAnsweringIsLostWithin9sAndReconnected) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const SilenceCase& c = GetParam();
    // The last command the station answers. Its time is taken before it is sent: the bound
    // is met with room to spare when it holds from then.
    const Clock::time_point lastAnswered = Clock::now();
    Ask("E");
    ASSERT_TRUE(StationState([](const SimState& s) { return s.power; }));
    c.silence(Sim());

    const std::string loss =
        "Lost connection to DSAir2 on " + Sim().Path() + ": " + c.reason + "\n";
    ASSERT_TRUE(Console(loss, 9s)) << Stdout();
    const auto took = Clock::now() - lastAnswered;
    EXPECT_LE(took, 9s);
    RecordProperty(
        "lost_after_ms",
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    c.restore(Sim());
    const std::string reconnected = "Reconnected to DSAir2 on " + Sim().Path() + "\n";
    ASSERT_TRUE(Console(reconnected)) << Stdout();
    // What the restarted station reports about itself follows.
    const std::string startUp =
        "DSAir2 on " + Sim().Path() + ": firmware 8, hardware DSAir2, track supply 14.8 V\n";
    EXPECT_TRUE(Console(startUp, kTimeout, Stdout().find(reconnected))) << Stdout();
    EXPECT_EQ(Count(Stdout(), startUp), 2u);
    EXPECT_EQ(Count(Stdout(), loss), 1u);
    // Served as before: the restarted station takes the next command.
    Ask("E");
    EXPECT_TRUE(StationState([](const SimState& s) { return s.power; }));
}

INSTANTIATE_TEST_SUITE_P(
    Silences, IdleStation,
    ::testing::Values(
        SilenceCase{"answers_no_ping", [](DSAir2Simulator& sim) { sim.SetStatusFor("setPing", 0); },
                    [](DSAir2Simulator& sim) { sim.SetStatusFor("setPing", -1); },
                    "no answer to 2 commands in a row"},
        // Opening the device anew resets the station, which then reads again.
        SilenceCase{"stops_reading", [](DSAir2Simulator& sim) { sim.StopReading(true); },
                    [](DSAir2Simulator&) {}, "a write did not finish within 1 second"}),
    [](const ::testing::TestParamInfo<SilenceCase>& info) { return std::string(info.param.name); });

// A client busy with the station keeps the watch away: no ping between commands 0.5 s apart.
// Once it is idle, the watch comes, and neither it nor its answer shows on the console.
TEST_F(StationWatch, ComesOnlyWhenIdleAndIsNotOnTheConsole) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Ask("E");
    ASSERT_TRUE(StationState([](const SimState& s) { return s.power; }));
    const std::size_t before = Sim().Commands().size();
    // Each message changes the speed: one station command each, for 6 s, longer than the 2 s
    // after which an idle station is watched.
    const Clock::time_point start = Clock::now();
    for (int i = 0; Clock::now() - start < 6s; ++i) {
        Ask(Drive(i % 2 == 0 ? 40 : 41));
        std::this_thread::sleep_until(start + (i + 1) * 500ms);
    }
    const std::vector<std::string> busy = Sim().Commands();
    const std::vector<std::string> sent(busy.begin() + static_cast<std::ptrdiff_t>(before),
                                        busy.end());
    EXPECT_GE(sent.size(), 10u);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "setPing()"), 0);

    // Idle now: the watch comes.
    ASSERT_TRUE(Sim().WaitForCommands(busy.size() + 1, kTimeout));
    EXPECT_EQ(Sim().Commands().at(busy.size()), "setPing()");
    // Only the handshake's ping and its answer are on the console.
    const std::string console = Stdout();
    EXPECT_EQ(Count(console, "[D Send] setPing()\n"), 1u) << console;
    EXPECT_EQ(Count(console, "[D Recv] @DSG,"), 1u) << console;
    EXPECT_EQ(Count(console, "[D Recv] @DSS,"), 1u) << console;
}

}  // namespace

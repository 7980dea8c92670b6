// Throttle drags and what must stay in order: Railmux as a process on the simulated station,
// locomotive packets answered at once, the station brought to the newest wish.
#include "sim/Rails.hpp"
#include "tests/support/RailmuxClientTest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kLocoBase = 49152;
constexpr auto kTimeout = 20s;

// A short-address 128-step speed packet with its check byte.
std::string Speed(int address, bool forward, int step) {
    const std::uint8_t speed = static_cast<std::uint8_t>((forward ? 0x80 : 0) | step);
    const std::uint8_t check = static_cast<std::uint8_t>(address ^ 0x3F ^ speed);
    return "Q " + Rails::Hex({static_cast<std::uint8_t>(address), 0x3F, speed, check});
}

std::string SpeedOnRails(int address, bool forward, int step) {
    return Rails::Hex({static_cast<std::uint8_t>(address), 0x3F,
                       static_cast<std::uint8_t>((forward ? 0x80 : 0) | step)});
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class Drag : public RailmuxClientTest {
protected:
    // Sends one message and waits for its reply, as an application does.
    std::string Ask(const std::string& message, int replies = 1) {
        EXPECT_TRUE(client_->Send(message + "\r"));
        return client_->ReadReplies(replies, 30s);
    }

    // Waits until the station refreshes this packet for the locomotive's speed.
    bool OnRails(int address, const std::string& packet) {
        return railmux_.Sim().WaitForState(
            [&](const SimState& state) {
                const auto loco = state.locos.find(kLocoBase + address);
                return loco != state.locos.end() &&
                       Rails::Hex(Rails::Speed(address, loco->second)) == packet;
            },
            kTimeout);
    }

    // Every locomotive set going forward at step 2 first, so that a drag changes speeds only.
    void Start(std::initializer_list<int> addresses) {
        for (int address : addresses) {
            EXPECT_EQ(Ask(Speed(address, true, 2)), "O\r");
            ASSERT_TRUE(OnRails(address, SpeedOnRails(address, true, 2)));
        }
        commandsBefore_ = railmux_.Sim().Commands().size();
    }

    // The station commands since Start, but the idle watch's pings: one comes whenever the
    // station has had no command for 2 s (a test runner that stalls between two messages), and
    // no drag here sends a ping of its own (nothing in them goes unanswered).
    std::vector<std::string> Since() {
        const auto all = railmux_.Sim().Commands();
        std::vector<std::string> since;
        std::copy_if(all.begin() + static_cast<std::ptrdiff_t>(commandsBefore_), all.end(),
                     std::back_inserter(since),
                     [](const std::string& command) { return command != "setPing()"; });
        return since;
    }

    std::size_t commandsBefore_ = 0;
};

TEST_F(Drag, EndsOnTheLastStepWithFarFewerCommandsThanMessages) {
    Start({3});
    for (int step = 3; step <= 32; ++step)
        EXPECT_EQ(Ask(Speed(3, true, step)), "O\r");
    ASSERT_TRUE(OnRails(3, SpeedOnRails(3, true, 32)));
    const auto commands = Since();
    EXPECT_LT(commands.size(), 15u) << "30 messages";
    for (const std::string& command : commands)
        EXPECT_TRUE(StartsWith(command, "setLocoSpeed(49155,")) << command;
}

TEST_F(Drag, ReversalNeverRunsTheWrongWayAndAStopArrivingLastIsOnTheRails) {
    Start({3});
    for (int step = 10; step >= 2; --step)
        EXPECT_EQ(Ask(Speed(3, false, step)), "O\r");
    EXPECT_EQ(Ask(Speed(3, false, 0)), "O\r");
    // Power on waits for every command accepted before it.
    EXPECT_EQ(Ask("E"), "O\r");
    EXPECT_TRUE(OnRails(3, SpeedOnRails(3, false, 0)));
    const auto commands = Since();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands.back(), "setPower(1)");
    // No speed but a stop before the station has taken the new direction.
    const auto reversed = std::find(commands.begin(), commands.end(), "setLocoDirection(49155,2)");
    ASSERT_NE(reversed, commands.end());
    for (auto command = commands.begin(); command != reversed; ++command)
        EXPECT_EQ(*command, "setLocoSpeed(49155,0,2)");
}

// Track power off is the operator's emergency stop: it overtakes what is still pending.
TEST_F(Drag, PowerOffOvertakesPendingSpeeds) {
    Start({});
    EXPECT_EQ(Ask("E"), "O\r");
    for (int address = 1; address <= 10; ++address)
        EXPECT_EQ(Ask(Speed(address, true, 40)), "O\r");
    EXPECT_EQ(Ask("K"), "O\r");
    EXPECT_FALSE(railmux_.Sim().State().power);
    const auto commands = Since();
    const auto off = std::find(commands.begin(), commands.end(), "setPower(0)");
    ASSERT_NE(off, commands.end());
    // Twenty locomotive commands were pending; at most the one being written and the one
    // after it could come first.
    EXPECT_LE(off - commands.begin(), 3) << "setPower(0) came after too much";
    // Then the rest continue.
    for (int address = 1; address <= 10; ++address)
        EXPECT_TRUE(OnRails(address, SpeedOnRails(address, true, 40))) << address;
}

// "E" answered before the station could carry it out, then "K": the emergency stop is the last
// word, and the track never comes on after it.
TEST_F(Drag, PowerOffWithdrawsAPowerOnStillPending) {
    Start({});
    railmux_.Sim().SetCv(1, 7);
    for (int address = 1; address <= 20; ++address)
        EXPECT_EQ(Ask(Speed(address, true, 40)), "O\r");
    EXPECT_EQ(Ask("E"), "O\r");  // forty commands ahead of it: answered before it ran
    EXPECT_EQ(Ask("K"), "O\r");
    // After everything accepted before it.
    EXPECT_EQ(Ask("R 001", 2), "CV00107\rP\r");
    const auto commands = Since();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "setPower(1)"), 0);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "setPower(0)"), 1);
    for (int address = 1; address <= 20; ++address)
        EXPECT_TRUE(OnRails(address, SpeedOnRails(address, true, 40))) << address;
}

TEST_F(Drag, PowerOnAndCvReadWaitForTheSpeedsBeforeThem) {
    Start({});
    railmux_.Sim().SetCv(1, 7);
    for (int address = 1; address <= 3; ++address)
        EXPECT_EQ(Ask(Speed(address, true, 40)), "O\r");
    EXPECT_EQ(Ask("E"), "O\r");
    EXPECT_TRUE(railmux_.Sim().State().power);
    for (int address = 4; address <= 5; ++address)
        EXPECT_EQ(Ask(Speed(address, true, 40)), "O\r");
    EXPECT_EQ(Ask("R 001", 2), "CV00107\rP\r");
    EXPECT_EQ(Since(), (std::vector<std::string>{
                           "setLocoDirection(49153,1)", "setLocoSpeed(49153,312,2)",
                           "setLocoDirection(49154,1)", "setLocoSpeed(49154,312,2)",
                           "setLocoSpeed(49155,312,2)", "setPower(1)", "setLocoDirection(49156,1)",
                           "setLocoSpeed(49156,312,2)", "setLocoDirection(49157,1)",
                           "setLocoSpeed(49157,312,2)", "getLocoConfig(49152,1)"}));
}

TEST_F(Drag, TurnoutPacketsAreNeverCoalesced) {
    Start({});
    // Output 5 thrown, set back, thrown twice more: every click reaches the station.
    for (const char* packet : {"S 02 82 F9 7B", "S 02 82 F8 7A", "S 02 82 F9 7B", "S 02 82 F9 7B"})
        EXPECT_EQ(Ask(packet), "O\r");
    EXPECT_EQ(Ask("E"), "O\r");  // after every packet accepted before it
    EXPECT_EQ(Since(), (std::vector<std::string>{"setTurnout(14340,1)", "setTurnout(14340,0)",
                                                 "setTurnout(14340,1)", "setTurnout(14340,1)",
                                                 "setPower(1)"}));
}

// A turnout thrown while the station is unplugged is thrown once it is back: the application
// shows it thrown.
TEST_F(Drag, ATurnoutThrownWhileUnpluggedIsThrownOnceTheStationIsBack) {
    railmux_.Sim().Unplug();
    ASSERT_TRUE(railmux_.Railmux().WaitForStdout("Lost connection to DSAir2", kTimeout));
    // Output 5 (decoder 2, pair 0), coil 1.
    EXPECT_EQ(Ask("S 02 82 F9 7B"), "O\r");
    ASSERT_TRUE(railmux_.Railmux().WaitForStdout(
        "[D Send] setTurnout(14340,1)\nNo connection to DSAir2!\n", kTimeout));
    std::string error;
    ASSERT_TRUE(railmux_.Sim().Replug(error)) << error;
    EXPECT_TRUE(railmux_.Sim().WaitForState(
        [](const SimState& state) {
            const auto output = state.accessories.find(4);
            return output != state.accessories.end() && output->second == 1;
        },
        kTimeout));
}

// Noise on the line: a stop and a "K" whose lines never reached the station (neither carried out
// nor answered) are written again once the station answers again.
TEST_F(Drag, ALostStopAndALostPowerOffAreWrittenAgain) {
    EXPECT_EQ(Ask("E"), "O\r");
    Start({3});
    railmux_.Sim().LoseNext("setLocoSpeed");
    EXPECT_EQ(Ask(Speed(3, true, 0)), "O\r");
    EXPECT_TRUE(OnRails(3, SpeedOnRails(3, true, 0)));
    railmux_.Sim().LoseNext("setPower");
    EXPECT_EQ(Ask("K"), "O\r");
    EXPECT_TRUE(
        railmux_.Sim().WaitForState([](const SimState& state) { return !state.power; }, kTimeout));
    EXPECT_EQ(railmux_.Sim().LostLines(),
              (std::vector<std::string>{"setLocoSpeed(49155,0,2)", "setPower(0)"}));
    // Both stayed in step with the station: the client's next messages are answered as usual.
    EXPECT_EQ(Ask("V"), "---\r");
}

// ---- Stops first ---------------------------------------------------------------------------

// The station answers slowly, so that the work queued when the stop comes is still ahead of it:
// the stop is written right after the command under way.
class StopsFirst : public Drag {
protected:
    // The index, among every command the station received, at which the stop for locomotive 3
    // must have come at the latest: after those received when its message went and the one the
    // scheduler may have chosen already.
    std::size_t LatestForTheStop() { return railmux_.Sim().Commands().size() + 1; }

    std::size_t StopAt() {
        const auto all = railmux_.Sim().Commands();
        return static_cast<std::size_t>(
            std::find(all.begin(), all.end(), "setLocoSpeed(49155,0,2)") - all.begin());
    }
};

TEST_F(StopsFirst, AStopOvertakesTenLocomotivesAccelerating) {
    Start({3});
    railmux_.Sim().SetReplyDelay(200ms);
    for (int address = 10; address < 20; ++address)
        EXPECT_EQ(Ask(Speed(address, true, 40)), "O\r");
    const std::size_t latest = LatestForTheStop();
    EXPECT_EQ(Ask(Speed(3, true, 0)), "O\r");
    ASSERT_TRUE(OnRails(3, SpeedOnRails(3, true, 0)));
    EXPECT_LE(StopAt(), latest);
    for (int address = 10; address < 20; ++address)
        EXPECT_TRUE(OnRails(address, SpeedOnRails(address, true, 40))) << address;
}

TEST_F(StopsFirst, AStopOvertakesAnotherLocomotivesFunctions) {
    Start({3});
    railmux_.Sim().SetReplyDelay(200ms);
    // A throttle taken for locomotive 9 with every function on: 29 commands.
    for (const char* group : {"S 01 09 9F 96", "S 01 09 BF B6", "S 01 09 AF A6", "S 01 09 DE FF 28",
                              "S 01 09 DF FF 29"})
        EXPECT_EQ(Ask(group), "O\r");
    const std::size_t latest = LatestForTheStop();
    EXPECT_EQ(Ask(Speed(3, true, 0)), "O\r");
    ASSERT_TRUE(OnRails(3, SpeedOnRails(3, true, 0)));
    EXPECT_LE(StopAt(), latest);
}

// A throttle taken for a locomotive the station has no entry for: the five function groups, only
// the headlight on. A fresh entry has every function off: one command.
TEST_F(Drag, TakingAThrottleSendsOnlyTheFunctionsThatAreOn) {
    Start({});
    for (const char* group : {"S 01 09 90 99", "S 01 09 B0 B9", "S 01 09 A0 A9", "S 01 09 DE 00 D7",
                              "S 01 09 DF 00 D6"})
        EXPECT_EQ(Ask(group), "O\r");
    EXPECT_EQ(Ask("E"), "O\r");
    EXPECT_EQ(Since(), (std::vector<std::string>{"setLocoFunction(49161,0,1)", "setPower(1)"}));
}

// After a reset the application's "E" is not held up by what Railmux sends the fresh station of
// its own accord: it goes right after the command under way.
TEST_F(Drag, PowerOnAfterAResetGoesBeforeWhatTheFreshStationIsSentAgain) {
    Start({3, 4, 5, 6});
    for (const char* headlight :
         {"S 01 03 90 93", "S 01 04 90 94", "S 01 05 90 95", "S 01 06 90 96"})
        EXPECT_EQ(Ask(headlight), "O\r");
    EXPECT_EQ(Ask("E"), "O\r");
    railmux_.Sim().SetReplyDelay(200ms);
    const std::size_t before = railmux_.Sim().Commands().size();
    railmux_.Sim().Reset();
    ASSERT_TRUE(railmux_.Sim().WaitForCommands(before + 1, kTimeout));
    const std::size_t latest = railmux_.Sim().Commands().size() + 1;
    EXPECT_EQ(Ask("E"), "O\r");
    ASSERT_TRUE(
        railmux_.Sim().WaitForState([](const SimState& state) { return state.power; }, kTimeout));
    const auto all = railmux_.Sim().Commands();
    const auto on =
        std::find(all.begin() + static_cast<std::ptrdiff_t>(before), all.end(), "setPower(1)");
    EXPECT_LE(static_cast<std::size_t>(on - all.begin()), latest);
    // Then everything it held: three directions (locomotive 3 has its boot entry), four speeds,
    // four headlights; no function it has off anyway.
    for (int address = 3; address <= 6; ++address)
        EXPECT_TRUE(OnRails(address, SpeedOnRails(address, true, 2))) << address;
    ASSERT_TRUE(railmux_.Sim().WaitForState(
        [](const SimState& state) {
            for (int address = 3; address <= 6; ++address) {
                const auto loco = state.locos.find(kLocoBase + address);
                if (loco == state.locos.end() || (loco->second.functions & 1) == 0) return false;
            }
            return true;
        },
        kTimeout));
    const auto now = railmux_.Sim().Commands();
    const std::vector<std::string> sent(now.begin() + static_cast<std::ptrdiff_t>(before),
                                        now.end());
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const std::string& c) { return StartsWith(c, "setLocoFunction("); }),
              4);
}

// The wishes go on while the station is gone; the fresh station gets the newest.
TEST_F(Drag, UnpluggedDuringADragTheRepluggedStationGetsTheLastStep) {
    Start({3});
    EXPECT_EQ(Ask("E"), "O\r");
    for (int step = 3; step <= 12; ++step)
        EXPECT_EQ(Ask(Speed(3, true, step)), "O\r");
    railmux_.Sim().Unplug();
    ASSERT_TRUE(railmux_.Railmux().WaitForStdout("Lost connection to DSAir2", kTimeout));
    for (int step = 13; step <= 32; ++step)
        EXPECT_EQ(Ask(Speed(3, true, step)), "O\r");
    std::string error;
    ASSERT_TRUE(railmux_.Sim().Replug(error)) << error;
    ASSERT_TRUE(railmux_.Railmux().WaitForStdout("Reconnected to DSAir2", kTimeout));
    EXPECT_EQ(Ask("E"), "O\r");
    EXPECT_TRUE(railmux_.Sim().State().power);
    EXPECT_TRUE(OnRails(3, SpeedOnRails(3, true, 32)));
}

}  // namespace

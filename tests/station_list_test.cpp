// The station's list of 20 entries, judged on the simulated station that keeps one: never a
// speed for a locomotive without an entry, never a running locomotive or a turnout pushed out
// of the list, every turnout thrown.
#include "sim/Rails.hpp"
#include "tests/support/RailmuxClientTest.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kLocoBase = 49152;
constexpr auto kTimeout = 60s;

std::string WithCheck(Rails::Packet packet, const std::string& letter) {
    std::uint8_t check = 0;
    for (std::uint8_t byte : packet)
        check ^= byte;
    packet.push_back(check);
    return letter + Rails::Hex(packet);
}

// A short-address 128-step speed packet.
std::string Speed(int address, int step) {
    return WithCheck(
        {static_cast<std::uint8_t>(address), 0x3F, static_cast<std::uint8_t>(0x80 | step)}, "Q ");
}

// A basic accessory packet activating output k's coil 1.
std::string Throw(int k) {
    return WithCheck(Rails::Accessory(k, 1), "S 02 ");
}

class ListOnTheRails : public RailmuxClientTest {
protected:
    std::string Ask(const std::string& message) {
        EXPECT_TRUE(client_->Send(message + "\r"));
        return client_->ReadReplies(1, 30s);
    }

    // Waits until every decoder of first..last hears the 128-step packet of step, forward (0:
    // stands, whatever it heard before).
    bool Decoders(int first, int last, int step) {
        return Sim().WaitForState(
            [&](const SimState& state) {
                for (int address = first; address <= last; ++address) {
                    const auto decoder = state.decoders.find(address);
                    const bool heard = decoder != state.decoders.end();
                    if (step == 0 ? heard && decoder->second.Running()
                                  : !heard || decoder->second.rails != OnRails(address, step)) {
                        return false;
                    }
                }
                return true;
            },
            kTimeout);
    }

    static std::string OnRails(int address, int step) {
        return Rails::Hex(
            {static_cast<std::uint8_t>(address), 0x3F, static_cast<std::uint8_t>(0x80 | step)});
    }
};

// 25 locomotives driven and then stopped one by one: 20 run at once (locomotive 3's boot entry
// makes room for the twentieth); the other five wait, named on the console, and each follows
// once the locomotive in the list's first place stands still.
TEST_F(ListOnTheRails, TwentyFiveLocomotivesDrivenAndStopped) {
    EXPECT_EQ(Ask("E"), "O\r");
    for (int address = 101; address <= 125; ++address)
        EXPECT_EQ(Ask(Speed(address, 20)), "O\r");
    // The step the station gives 128-step step 20 (the least speed for it).
    ASSERT_TRUE(Decoders(101, 120, 20));
    for (int address = 121; address <= 125; ++address) {
        EXPECT_TRUE(railmux_.Railmux().WaitForStdout(
            "Locomotive " + std::to_string(address) + " waits for a place on the DSAir2", 10s))
            << address;
    }
    EXPECT_FALSE(Sim().State().decoders.count(121));

    for (int address = 101; address <= 125; ++address)
        EXPECT_EQ(Ask(Speed(address, 0)), "O\r");
    EXPECT_TRUE(Decoders(101, 125, 0));
    const SimState state = Sim().State();
    for (const auto& [address, decoder] : state.decoders)
        EXPECT_FALSE(decoder.Running()) << address << " still runs: " << decoder.rails;
    EXPECT_EQ(Sim().OverwrittenRunning(), 0);
    EXPECT_EQ(Sim().SpeedsWithoutEntry(), 0);
}

// A route of 8 turnouts set while 18 locomotives run: the list has room for one turnout at a
// time, so each waits for the one before it to leave; none is lost, no locomotive pushed out.
TEST_F(ListOnTheRails, ARouteOfEightTurnoutsWhileEighteenLocomotivesRun) {
    EXPECT_EQ(Ask("E"), "O\r");
    for (int address = 101; address <= 118; ++address)
        EXPECT_EQ(Ask(Speed(address, 20)), "O\r");
    ASSERT_TRUE(Decoders(101, 118, 20));
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(Ask(Throw(k)), "O\r");
        std::this_thread::sleep_for(50ms);  // the application's pace for a route
    }
    EXPECT_TRUE(Sim().WaitForState(
        [](const SimState& state) {
            for (int k = 0; k < 8; ++k) {
                const auto output = state.accessoryDecoders.find(k);
                if (output == state.accessoryDecoders.end() || output->second != 1) return false;
            }
            return true;
        },
        kTimeout));
    EXPECT_EQ(Sim().OverwrittenTurnouts(), 0);
    EXPECT_EQ(Sim().OverwrittenRunning(), 0);
    EXPECT_TRUE(Decoders(101, 118, 20));
}

// Whenever a locomotive has no entry (never driven, after a reset, after a replug), its
// direction goes first and makes one; released and taken again, it keeps the entry it has.
TEST_F(ListOnTheRails, DirectionBeforeSpeedAfterAResetAndAReplug) {
    EXPECT_EQ(Ask("E"), "O\r");
    for (int address : {3, 7, 8, 9})
        EXPECT_EQ(Ask(Speed(address, 20)), "O\r");
    ASSERT_TRUE(Decoders(7, 9, 20));
    // Released and taken again at another speed: the entry is still there, only the speed goes.
    std::size_t before = Sim().Commands().size();
    EXPECT_EQ(Ask("D 00 07"), "O\r");
    EXPECT_EQ(Ask(Speed(7, 30)), "O\r");
    ASSERT_TRUE(Decoders(7, 7, 30));
    auto since = [&](std::size_t from) {
        const auto all = Sim().Commands();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    };
    EXPECT_EQ(since(before), std::vector<std::string>{"setLocoSpeed(49159,228,2)"});

    const auto directionFirst = [&](std::size_t from) {
        const std::vector<std::string> sent = since(from);
        for (int address : {7, 8, 9}) {
            const std::string station = std::to_string(kLocoBase + address);
            for (const std::string& command : sent) {
                if (command.find("(" + station + ",") == std::string::npos) continue;
                EXPECT_EQ(command.rfind("setLocoDirection(" + station, 0), 0u)
                    << address << " first got " << command;
                break;
            }
        }
    };
    before = Sim().Commands().size();
    Sim().Reset();
    ASSERT_TRUE(railmux_.Railmux().WaitForStdout("was reset", kTimeout));
    EXPECT_EQ(Ask("E"), "O\r");
    ASSERT_TRUE(Decoders(8, 9, 20));
    ASSERT_TRUE(Decoders(7, 7, 30));
    directionFirst(before);

    before = Sim().Commands().size();
    std::string error;
    ASSERT_TRUE(Sim().Replug(error)) << error;
    ASSERT_TRUE(railmux_.Railmux().WaitForStdout("Reconnected to DSAir2", kTimeout));
    EXPECT_EQ(Ask("E"), "O\r");
    ASSERT_TRUE(Decoders(8, 9, 20));
    directionFirst(before);
    EXPECT_EQ(Sim().SpeedsWithoutEntry(), 0);
}

}  // namespace

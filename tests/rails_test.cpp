// What reaches the rails is what the application asked for: Railmux as a process on the
// simulated station, judged by the packets the station puts on the rails, not by the command
// text Railmux writes.
#include "sim/Rails.hpp"
#include "sim/StationModel.hpp"
#include "tests/support/RailmuxClientTest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Packet = Rails::Packet;

constexpr std::int32_t kLocoBase = 49152;
// Long enough for a slow sanitizer build; a packet that never reaches the rails fails here.
constexpr auto kRailsTimeout = 20s;

Packet Address(int address) {
    if (address < 128) return {static_cast<std::uint8_t>(address)};
    return {static_cast<std::uint8_t>(0xC0 | address >> 8), static_cast<std::uint8_t>(address)};
}

Packet Speed128(int address, bool forward, int step) {
    Packet packet = Address(address);
    packet.push_back(0x3F);
    packet.push_back(static_cast<std::uint8_t>((forward ? 0x80 : 0) | step));
    return packet;
}

// 01DCSSSS with SSSSC = step + 3 (0 for a stop).
Packet Speed28(int address, bool forward, int step) {
    const int code = step == 0 ? 0 : step + 3;
    Packet packet = Address(address);
    packet.push_back(
        static_cast<std::uint8_t>(0x40 | (forward ? 0x20 : 0) | (code & 1) << 4 | code >> 1));
    return packet;
}

// The packet with its check byte, as hex pairs.
std::string WithCheck(Packet packet) {
    std::uint8_t check = 0;
    for (std::uint8_t byte : packet)
        check ^= byte;
    packet.push_back(check);
    return Rails::Hex(packet);
}

std::string Q(const Packet& packet) {
    return "Q " + WithCheck(packet);
}

// "S", a repeat count of 2, the packet and its check byte.
std::string S(const Packet& packet) {
    return "S 02 " + WithCheck(packet);
}

class RailsTest : public RailmuxClientTest {
protected:
    void Send(const std::string& message, const std::string& reply = "O") {
        ASSERT_TRUE(client_->Send(message + "\r"));
        EXPECT_EQ(client_->ReadReplies(1, 30s), reply + "\r") << message;
    }

    // Waits until the station refreshes packet as the speed of the locomotive it names.
    ::testing::AssertionResult SpeedOnRails(int address, const Packet& packet) {
        const std::int32_t station = kLocoBase + address;
        std::string carried = "no locomotive";
        const bool reached = Sim().WaitForState(
            [&](const SimState& state) {
                const auto loco = state.locos.find(station);
                if (loco == state.locos.end()) return false;
                carried = Rails::Hex(Rails::Speed(address, loco->second));
                return carried == Rails::Hex(packet);
            },
            kRailsTimeout);
        if (reached) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "the rails carry " << carried << " instead of " << Rails::Hex(packet);
    }

    ::testing::AssertionResult AccessoryOnRails(int output, int coil) {
        const Packet packet = Rails::Accessory(output, coil);
        const bool reached = Sim().WaitForState(
            [&](const SimState& state) {
                const auto accessory = state.accessories.find(output);
                return accessory != state.accessories.end() && accessory->second == coil &&
                       state.rails == Rails::Hex(packet);
            },
            kRailsTimeout);
        if (reached) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "output " << output + 1 << " coil " << coil
                                             << " not on the rails; rails: " << Sim().State().rails;
    }
};

struct StepsCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> before;  // messages and their replies
    int address;
    bool steps128;
    bool forward;
    std::vector<int> steps;
};

void PrintTo(const StepsCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<int> Range(int first, int last) {
    std::vector<int> steps;
    for (int step = first; step <= last; ++step)
        steps.push_back(step);
    return steps;
}

const std::vector<int> kSample = {2, 3, 5, 64, 126, 127};
const std::pair<std::string, std::string> kF0On = {"S 01 03 90 93", "O"};
const std::pair<std::string, std::string> kCvWrite10 = {"P 003 0A", "P"};

class EveryStep : public RailsTest, public ::testing::WithParamInterface<StepsCase> {};

TEST_P(EveryStep, ReachesTheRailsAsAsked) {
    const StepsCase& c = GetParam();
    for (const auto& [message, reply] : c.before)
        Send(message, reply);
    for (const int step : c.steps) {
        const Packet packet =
            c.steps128 ? Speed128(c.address, c.forward, step) : Speed28(c.address, c.forward, step);
        Send(Q(packet));
        ASSERT_TRUE(SpeedOnRails(c.address, packet)) << "step " << step << " of " << c.name;
    }
}

const StepsCase kEverySteps[] = {
    {"Steps128Short", {}, 3, true, true, Range(2, 127)},
    {"Steps128Long", {}, 1234, true, true, Range(2, 127)},
    {"Steps128ShortReverse", {}, 3, true, false, kSample},
    {"Steps128LongReverse", {}, 1234, true, false, kSample},
    {"Steps28Short", {}, 3, false, true, Range(1, 28)},
    {"Steps28LongReverse", {}, 10238, false, false, Range(1, 28)},
    {"Steps128AfterF0On", {kF0On}, 3, true, true, Range(2, 127)},
    {"Steps28AfterF0On", {kF0On}, 3, false, true, Range(1, 28)},
    {"Steps128AfterCvWriteOf10", {kCvWrite10}, 3, true, true, Range(2, 127)},
    {"Steps28AfterCvWriteOf10", {kCvWrite10}, 3, false, false, Range(1, 28)},
};

INSTANTIATE_TEST_SUITE_P(Locomotives, EveryStep, ::testing::ValuesIn(kEverySteps),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RailsTest, ReversalAtSpeedRunsTheOtherWayAtTheSameStep) {
    Send(Q(Speed128(3, true, 64)));
    ASSERT_TRUE(SpeedOnRails(3, Speed128(3, true, 64)));
    Send(Q(Speed128(3, false, 64)));
    EXPECT_TRUE(SpeedOnRails(3, Speed128(3, false, 64)));
    Send(Q(Speed28(3, true, 14)));
    EXPECT_TRUE(SpeedOnRails(3, Speed28(3, true, 14)));
}

// "D" forgets what was sent, the station does not: the locomotive still runs in reverse.
TEST_F(RailsTest, DirectionAfterDequeueIsTheOneAskedFor) {
    Send(Q(Speed128(3, false, 5)));
    ASSERT_TRUE(SpeedOnRails(3, Speed128(3, false, 5)));
    Send("D 00 03");
    Send(Q(Speed128(3, true, 5)));
    EXPECT_TRUE(SpeedOnRails(3, Speed128(3, true, 5)));
}

TEST_F(RailsTest, FunctionLeftOnIsSwitchedOffAfterDequeue) {
    Send(S({0x03, 0x90}));  // F0 on
    ASSERT_TRUE(Sim().WaitForState(
        [](const SimState& state) {
            const auto loco = state.locos.find(kLocoBase + 3);
            return loco != state.locos.end() && loco->second.functions == 1;
        },
        kRailsTimeout));
    Send("D 00 03");
    Send(S({0x03, 0x80}));  // F0-F4 off
    EXPECT_TRUE(Sim().WaitForState(
        [](const SimState& state) {
            return state.locos.at(kLocoBase + 3).functions == 0 && state.rails == "03 80";
        },
        kRailsTimeout))
        << StationModel::Describe(Sim().State());
}

TEST_F(RailsTest, TurnoutsAreThrownAsAsked) {
    // Outputs 1, 4, 5 and 2044: decoder (output - 1) / 4 + 1, pair (output - 1) % 4.
    for (const int output : {1, 4, 5, 2044}) {
        for (const int coil : {1, 0}) {
            const Packet packet = Rails::Accessory(output - 1, coil);
            Send(S(packet));
            ASSERT_TRUE(AccessoryOnRails(output - 1, coil)) << "output " << output;
        }
    }
}

// A turnout that did not move is clicked again: every packet goes out, none is held back as a
// repeat. Packets that are no activation, or arrive damaged, throw nothing.
TEST_F(RailsTest, EveryTurnoutPacketIsSentAndNoOtherOne) {
    const Packet thrown = Rails::Accessory(4, 1);
    Send(S(thrown));
    ASSERT_TRUE(AccessoryOnRails(4, 1));
    const std::size_t before = Sim().Commands().size();
    Send(S(thrown));
    Send(S({thrown[0], static_cast<std::uint8_t>(thrown[1] & ~0x08)}));  // C = 0
    Send("S 02 " + Rails::Hex(thrown) + " 00");                          // bad check byte
    Send(S(Rails::Accessory(4, 0)));
    ASSERT_TRUE(AccessoryOnRails(4, 0));
    // The idle watch's ping may come between two messages (after 2 s without a station
    // command, as when the runner stalls); nothing else here is a ping.
    const std::vector<std::string> commands = Sim().Commands();
    std::vector<std::string> sent;
    std::copy_if(commands.begin() + static_cast<std::ptrdiff_t>(before), commands.end(),
                 std::back_inserter(sent),
                 [](const std::string& command) { return command != "setPing()"; });
    EXPECT_EQ(sent, (std::vector<std::string>{"setTurnout(14340,1)", "setTurnout(14340,0)"}));
}

}  // namespace

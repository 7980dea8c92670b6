#include "protocol/PacketDecoder.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

// What a packet asks for, written out: "speed KEY f|r SPEED STEPS", "functions KEY FIRST BITS",
// "turnout OUTPUT COIL", "cv KEY CV", or "nothing".
std::string Describe(const PacketWish& wish) {
    return std::visit(
        [](const auto& asked) -> std::string {
            using Asked = std::decay_t<decltype(asked)>;
            if constexpr (std::is_same_v<Asked, SpeedWish>) {
                return "speed " + std::to_string(asked.key) + (asked.direction ? " f " : " r ") +
                       std::to_string(asked.speed) +
                       (asked.mode == SpeedMode::Steps128 ? " 128" : " 28");
            } else if constexpr (std::is_same_v<Asked, FunctionWish>) {
                std::string bits;
                for (int i = 0; i < asked.count; ++i)
                    bits += asked.states[i] ? '1' : '0';
                return "functions " + std::to_string(asked.key) + " " +
                       std::to_string(asked.first) + " " + bits;
            } else if constexpr (std::is_same_v<Asked, TurnoutWish>) {
                return "turnout " + std::to_string(asked.output) + (asked.thrown ? " 1" : " 0");
            } else if constexpr (std::is_same_v<Asked, OpsModeWrite>) {
                return "cv " + std::to_string(asked.key) + " " + std::to_string(asked.cv);
            } else {
                return "nothing";
            }
        },
        wish);
}

struct PacketCase {
    const char* message;
    const char* wish;
};

void PrintTo(const PacketCase& c, std::ostream* os) {
    *os << '"' << c.message << '"';
}

class Packet : public ::testing::TestWithParam<PacketCase> {};

TEST_P(Packet, AsksForWhatItCarries) {
    const PacketCase& c = GetParam();
    const std::string message = c.message;
    const PacketWish wish = message[0] == 'Q' ? PacketDecoder::QueuePacket(message)
                                              : PacketDecoder::SendPacket(message);
    EXPECT_EQ(Describe(wish), c.wish);
}

// Station speeds: 128 steps: step 2 is 1, 5 is 28, 100 is 800, 127 is 1016; 28 steps: step 1 is
// 1, 2 is 40, 4 is 112, 9 is 296, 28 is 988.
const PacketCase kSpeed128[] = {
    {"Q C0 03 3F 85 79", "speed 3 f 28 128"},
    {"Q C0 03 3F 05 F9", "speed 3 r 28 128"},
    {"Q 03 3F 85 B9", "speed 3 f 28 128"},
    {"Q 03 3F 00 3C", "speed 3 r 0 128"},
    {"Q C0 03 3F 80 7C", "speed 3 f 0 128"},
    {"Q C0 03 3F 81 7D", "speed 3 f 0 128"},  // the emergency stop is a stop
    {"Q C0 03 3F FF 03", "speed 3 f 1016 128"},
    {"Q C0 03 3F 82 7E", "speed 3 f 1 128"},
    {"Q C4 D2 3F 64 4D", "speed 1234 r 800 128"},
    {"Q E7 FE 3F 85 A3", "speed 10238 f 28 128"},
    // The station drops addresses above 10238: no entry, no place in its list.
    {"Q E7 FF 3F 85 A2", "nothing"},
    {"Q 03 3F 82 BE", "speed 3 f 1 128"},
    {"Q c0 03 3f 85 79", "speed 3 f 28 128"},  // lower case
};

const PacketCase kSpeed28[] = {
    {"Q C0 64 73 D7", "speed 100 f 112 28"},  // long form, not read as 128 steps
    {"Q 03 46 45", "speed 3 r 296 28"},      {"Q 03 7F 7C", "speed 3 f 988 28"},
    {"Q 03 62 61", "speed 3 f 1 28"},        {"Q 03 52 51", "speed 3 r 40 28"},
    {"Q 03 60 63", "speed 3 f 0 28"},        {"Q 03 70 73", "speed 3 f 0 28"},
    {"Q 03 41 42", "speed 3 r 0 28"},  // emergency stop
};

const PacketCase kIgnoredSpeedPackets[] = {
    {"Q C0 03 3F 85 78", "nothing"},  // check byte
    {"Q 03 3F 85 B8", "nothing"},
    {"Q C0 64 73 D6", "nothing"},
    {"Q 03 46 44", "nothing"},
    {"Q C0 03 3F 85 79 ", "nothing"},  // other lengths
    {"Q C0 03 3F 85 7", "nothing"},
    {"Q 03 3F 85 B9 ", "nothing"},
    {"Q", "nothing"},
    {"Q 00 3F 85 BA", "nothing"},  // address 0, not a locomotive
    {"Q 80 3F 85 3A", "nothing"},
    {"Q 80 46 C6", "nothing"},
    {"Q BF 03 3F 85 06", "nothing"},  // long address byte outside C0-E7
    {"Q E8 03 3F 85 51", "nothing"},
    {"Q C0 00 3F 85 7A", "nothing"},  // long address 0
    {"Q C0 03 3E 85 78", "nothing"},  // not a speed instruction
    {"Q 03 3E 85 B8", "nothing"},
    {"Q C0 64 3F 9B", "nothing"},
    {"Q C0 64 83 27", "nothing"},
    {"Q 03 86 85", "nothing"},
    {"Q 03 46 45 00", "nothing"},
    {"Q C0 64 A4", "nothing"},
};

const PacketCase kFunctions[] = {
    {"S 01 03 80 83", "functions 3 0 00000"},
    {"S 01 03 90 93", "functions 3 0 10000"},
    {"S 01 03 9F 9C", "functions 3 0 11111"},
    {"S 01 03 83 80", "functions 3 0 01100"},
    {"S 01 03 B5 B6", "functions 3 5 1010"},
    {"S 01 03 AA A9", "functions 3 9 0101"},
    {"S 03 03 DE 81 5C", "functions 3 13 10000001"},
    {"S 03 C4 D2 DF 80 49", "functions 1234 21 00000001"},
    {"S 01 E7 FF 90 88", "nothing"},
    {"S 01 C0 03 90 53", "functions 3 0 10000"},
    {"S 01 03 90 00", "functions 3 0 10000"},  // the error byte is not compared
    {"S 03 03 E4 1C 05 00", "cv 3 29"},        // programming on the main: CV 29
    {"S 03 C4 D2 EF FF 05 00", "cv 1234 1024"},
};

const PacketCase kIgnoredSendPackets[] = {
    {"S 03 03 DE 81", "nothing"},  // F13-F20 without its error-detection byte
    {"S 03 C4 D2 DF 80", "nothing"},
    {"S 01 C0 03", "nothing"},  // long address without instruction
    {"S 01 C0", "nothing"},
    {"S 01 03", "nothing"},  // too few bytes
    {"S 01", "nothing"},
    {"S", "nothing"},
    {"S 0", "nothing"},
    {"S 01 00 90 90", "nothing"},  // other address bytes
    {"S 01 E8 03 90 7B", "nothing"},
    {"S 01 FF 90 6F", "nothing"},
    {"S 01 C0 00 90 50", "nothing"},
    {"S 01 03  90 93", "nothing"},  // bad separators
    {"S 01 03-90 93", "nothing"},
    {"S 01 03 90 93\t", "nothing"},
    {"S 01 03 3F 85 B9", "nothing"},  // speed and other instructions
    {"S 01 03 60 63", "nothing"},
    {"S 01 03 C0 C3", "nothing"},
    {"S 03 03 E4 1C 05", "nothing"},  // a CV write without its data and error bytes
};

// Basic accessory packets 10AAAAAA 1aaaCPPD with their check byte: output (A - 1) * 4 + P,
// coil D.
const PacketCase kTurnouts[] = {
    {"S 02 81 F8 79", "turnout 0 0"},    {"S 02 81 F9 78", "turnout 0 1"},
    {"S 02 81 FF 7E", "turnout 3 1"},    {"S 02 82 F9 7B", "turnout 4 1"},
    {"S 02 BF 8F 30", "turnout 2043 1"}, {"S 01 81 f9 78", "turnout 0 1"},
    {"S 02 81 F1 70", "nothing"},  // coil off: the station switches it off by itself
    {"S 02 BF 87 38", "nothing"},        {"S 02 81 F9 79", "nothing"},  // check byte
    {"S 02 81 F9", "nothing"},           {"S 02 80 F9 79", "nothing"},  // decoder address 0
    {"S 02 81 71 F0", "nothing"},  // extended accessory packets
    {"S 02 81 71 05 F5", "nothing"},     {"S 02 81 F9 78 00", "nothing"},
};

INSTANTIATE_TEST_SUITE_P(Speed128, Packet, ::testing::ValuesIn(kSpeed128));
INSTANTIATE_TEST_SUITE_P(Speed28, Packet, ::testing::ValuesIn(kSpeed28));
INSTANTIATE_TEST_SUITE_P(IgnoredQ, Packet, ::testing::ValuesIn(kIgnoredSpeedPackets));
INSTANTIATE_TEST_SUITE_P(Functions, Packet, ::testing::ValuesIn(kFunctions));
INSTANTIATE_TEST_SUITE_P(IgnoredS, Packet, ::testing::ValuesIn(kIgnoredSendPackets));
INSTANTIATE_TEST_SUITE_P(Turnouts, Packet, ::testing::ValuesIn(kTurnouts));

struct DequeueCase {
    const char* message;
    bool taken;
    std::int32_t key;
};

TEST(Dequeue, ReadsShortAndLongAddressKeys) {
    const DequeueCase cases[] = {
        {"D 00 03", true, 3}, {"D C4 D2", true, 1234}, {"D C0 03", true, 3},  {"D 00 04", true, 4},
        {"D 00 3", false, 0}, {"D 00 03 ", false, 0},  {"D 40 03", false, 0}, {"D", false, 0},
    };
    for (const DequeueCase& c : cases) {
        std::int32_t key = 0;
        EXPECT_EQ(PacketDecoder::DequeueKey(c.message, key), c.taken) << c.message;
        if (c.taken) {
            EXPECT_EQ(key, c.key) << c.message;
        }
    }
}

}  // namespace

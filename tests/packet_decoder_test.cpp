#include "protocol/PacketDecoder.hpp"

#include "base/ConsoleLog.hpp"
#include "tests/support/RecordedProtocol.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Messages fed in order to one decoder with a fresh table; the station calls they cause, in
// the station link's command text (address + 49152, direction 1 forward / 2 reverse).
struct DecoderCase {
    const char* name;
    std::vector<std::string> messages;
    std::vector<std::string> calls;
    std::deque<bool> results = {};  // the station's answers in call order; then it accepts
};

void PrintTo(const DecoderCase& c, std::ostream* os) {
    *os << c.name;
}

class Decoder : public ::testing::TestWithParam<DecoderCase> {
protected:
    void SetUp() override {
        SetConsoleSink([](const char*, std::size_t) {});
    }
    void TearDown() override { SetConsoleSink(nullptr); }

    void Feed(const std::string& message) {
        ASSERT_TRUE(message[0] == 'Q' || message[0] == 'S' || message[0] == 'D') << message;
        std::string reply;
        protocol.Process(message, reply);
        EXPECT_EQ(reply, "O") << message;
    }

    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
};

TEST_P(Decoder, SendsOnlyWhatTheStationHasNotAccepted) {
    const DecoderCase& c = GetParam();
    station.results = c.results;
    for (const std::string& message : c.messages)
        Feed(message);
    EXPECT_EQ(station.calls, c.calls);
}

using Calls = std::vector<std::string>;

Calls Dir(int key, bool forward) {
    return {"setLocoDirection(" + std::to_string(49152 + key) + (forward ? ",1)" : ",2)")};
}

// mode 2: 128 steps, 0: 28 steps.
Calls Speed(int key, int speed, int mode) {
    return {"setLocoSpeed(" + std::to_string(49152 + key) + "," + std::to_string(speed) + "," +
            std::to_string(mode) + ")"};
}

// Functions first, first + 1, ... switched to the states written as '1' and '0'.
Calls Fn(int key, int first, const std::string& states) {
    Calls calls;
    for (std::size_t i = 0; i < states.size(); ++i) {
        calls.push_back("setLocoFunction(" + std::to_string(49152 + key) + "," +
                        std::to_string(first + static_cast<int>(i)) + "," + states[i] + ")");
    }
    return calls;
}

Calls Turnout(int stationNumber, int coil) {
    return {"setTurnout(" + std::to_string(stationNumber) + "," + std::to_string(coil) + ")"};
}

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Station speeds used below: 128 steps: step 2 is 1, 5 is 28, 100 is 800, 127 is 1016;
// 28 steps: step 1 is 1, 2 is 40, 4 is 112, 9 is 296, 28 is 988.
const DecoderCase kSpeed128[] = {
    {"NewAddressSendsDirectionAndSpeed", {"Q C0 03 3F 85 79"}, Dir(3, true) + Speed(3, 28, 2)},
    {"ReversalSendsDirectionThenSpeedAgain",
     {"Q C0 03 3F 85 79", "Q C0 03 3F 05 F9"},
     Dir(3, true) + Speed(3, 28, 2) + Dir(3, false) + Speed(3, 28, 2)},
    {"ReversalToStopSendsDirectionAndStop",
     {"Q 03 3F 85 B9", "Q 03 3F 00 3C"},
     Dir(3, true) + Speed(3, 28, 2) + Dir(3, false) + Speed(3, 0, 2)},
    {"ReverseOnNewAddressSendsDirectionFirst",
     {"Q C0 03 3F 05 F9", "Q C0 03 3F 05 F9"},
     Dir(3, false) + Speed(3, 28, 2)},
    {"RepeatedSpeedSendsNothing",
     {"Q 03 3F 85 B9", "Q 03 3F 85 B9", "Q 03 3F 85 B9"},
     Dir(3, true) + Speed(3, 28, 2)},
    {"StopIsSentEveryTime",
     {"Q C0 03 3F 80 7C", "Q C0 03 3F 80 7C"},
     Dir(3, true) + Speed(3, 0, 2) + Speed(3, 0, 2)},
    {"EmergencyStopIsAStop",
     {"Q C0 03 3F 85 79", "Q C0 03 3F 81 7D", "Q C0 03 3F 81 7D"},
     Dir(3, true) + Speed(3, 28, 2) + Speed(3, 0, 2) + Speed(3, 0, 2)},
    {"TopAndLowestStepsAreTheLeastSpeedsThatGiveThem",
     {"Q C0 03 3F FF 03", "Q C0 03 3F 82 7E"},
     Dir(3, true) + Speed(3, 1016, 2) + Speed(3, 1, 2)},
    {"LongAddress1234Reverse", {"Q C4 D2 3F 64 4D"}, Dir(1234, false) + Speed(1234, 800, 2)},
    {"HighestLongAddress", {"Q E7 FF 3F 85 A2"}, Dir(10239, true) + Speed(10239, 28, 2)},
    {"ShortForm", {"Q 03 3F 85 B9"}, Dir(3, true) + Speed(3, 28, 2)},
    {"ShortAndLongAddressShareOneEntry",
     {"Q 03 3F 85 B9", "Q C0 03 3F 85 79"},
     Dir(3, true) + Speed(3, 28, 2)},
    // 128-step step 2 and 28-step step 1 are both station speed 1: only the mode differs.
    {"ModeChangeAtTheSameSpeedIsAChange",
     {"Q 03 3F 82 BE", "Q 03 62 61", "Q 03 62 61"},
     Dir(3, true) + Speed(3, 1, 2) + Speed(3, 1, 0)},
    {"DequeueForgetsShortAddress",
     {"Q 03 3F 05 39", "D 00 03", "Q 03 3F 05 39"},
     Dir(3, false) + Speed(3, 28, 2) + Dir(3, false) + Speed(3, 28, 2)},
    // The station still runs the locomotive in reverse after "D": forward must be sent.
    {"DirectionAfterDequeueIsSentEvenWhenItIsTheUsualOne",
     {"Q 03 3F 05 39", "D 00 03", "Q 03 3F 85 B9"},
     Dir(3, false) + Speed(3, 28, 2) + Dir(3, true) + Speed(3, 28, 2)},
    {"DequeueForgetsLongAddress",
     {"Q C4 D2 3F E4 CD", "D C4 D2", "Q C4 D2 3F E4 CD"},
     Dir(1234, true) + Speed(1234, 800, 2) + Dir(1234, true) + Speed(1234, 800, 2)},
    {"DequeueOfAnotherAddressOrMalformedKeepsTheEntry",
     {"Q 03 3F 85 B9", "D 00 04", "D 00 3", "D 00 03 ", "D 40 03", "Q 03 3F 85 B9"},
     Dir(3, true) + Speed(3, 28, 2)},
};

const DecoderCase kRefusals[] = {
    {"RefusedSpeedIsSentAgain",
     {"Q 03 3F 85 B9", "Q 03 3F 85 B9", "Q 03 3F 85 B9"},
     Dir(3, true) + Speed(3, 28, 2) + Speed(3, 28, 2),
     {true, false, true}},
    // A speed after a direction the station may not have taken could run the wrong way.
    {"RefusedDirectionHoldsTheSpeedBackUntilItIsTaken",
     {"Q 03 3F 05 39", "Q 03 3F 05 39", "Q 03 3F 05 39"},
     Dir(3, false) + Dir(3, false) + Speed(3, 28, 2),
     {false, true, true}},
    {"StopGoesOutAfterARefusedDirection",
     {"Q 03 3F 00 3C"},
     Dir(3, false) + Speed(3, 0, 2),
     {false}},
    {"RefusedFunctionIsSentAgain",
     {"S 01 03 90 93", "S 01 03 90 93", "S 01 03 90 93"},
     Fn(3, 0, "10000") + Fn(3, 0, "1"),
     {false}},
    {"OnlyTheRefusedFunctionOfAGroupIsSentAgain",
     {"S 01 03 83 80", "S 01 03 83 80"},
     Fn(3, 0, "01100") + Fn(3, 2, "1"),
     {true, true, false}},
};

const DecoderCase kSpeed28[] = {
    {"LongForm28StepsNotReadAs128Steps", {"Q C0 64 73 D7"}, Dir(100, true) + Speed(100, 112, 0)},
    {"ShortForm28StepsReverse", {"Q 03 46 45"}, Dir(3, false) + Speed(3, 296, 0)},
    {"TopStepAndLowBitOfTheValue",
     {"Q 03 7F 7C", "Q 03 62 61", "Q 03 52 51"},
     Dir(3, true) + Speed(3, 988, 0) + Speed(3, 1, 0) + Dir(3, false) + Speed(3, 40, 0)},
    {"StopsAndEmergencyStopsSentEveryTime",
     {"Q 03 60 63", "Q 03 70 73", "Q 03 41 42", "Q 03 41 42"},
     Dir(3, true) + Speed(3, 0, 0) + Speed(3, 0, 0) + Dir(3, false) + Speed(3, 0, 0) +
         Speed(3, 0, 0)},
    {"RepeatedSendsNothingAndSharesTheEntryWith128Steps",
     {"Q 03 46 45", "Q 03 46 45", "Q C0 03 3F 85 79", "Q 03 3F 85 B9"},
     Dir(3, false) + Speed(3, 296, 0) + Dir(3, true) + Speed(3, 28, 2)},
};

// Each of these is answered without a station command.
const DecoderCase kIgnoredSpeedPackets[] = {
    {"CheckByteMismatch", {"Q C0 03 3F 85 78", "Q 03 3F 85 B8", "Q C0 64 73 D6", "Q 03 46 44"}, {}},
    {"OtherLengths", {"Q C0 03 3F 85 79 ", "Q C0 03 3F 85 7", "Q 03 3F 85 B9 ", "Q"}, {}},
    {"ShortFormAddressZeroOrNotALocomotive", {"Q 00 3F 85 BA", "Q 80 3F 85 3A", "Q 80 46 C6"}, {}},
    {"LongFormAddressByteOutsideC0ToE7", {"Q BF 03 3F 85 06", "Q E8 03 3F 85 51"}, {}},
    {"LongAddressZero", {"Q C0 00 3F 85 7A"}, {}},
    {"NotASpeedInstruction",
     {"Q C0 03 3E 85 78", "Q 03 3E 85 B8", "Q C0 64 3F 9B", "Q C0 64 83 27", "Q 03 86 85",
      "Q 03 46 45 00"},
     {}},
    {"TenCharactersWithLongAddress", {"Q C0 64 A4"}, {}},
};

// A new entry knows none of the functions: the first packet of a group sends all of it, so
// what an earlier session left on is switched off.
const DecoderCase kFunctions[] = {
    {"AllOffOnNewAddressSwitchesTheGroupOff",
     {"S 01 03 80 83", "S 01 03 80 83"},
     Fn(3, 0, "00000")},
    {"F0OnOnceOnly", {"S 01 03 90 93", "S 01 03 90 93"}, Fn(3, 0, "10000")},
    {"F0ToF4InAscendingOrder", {"S 01 03 9F 9C"}, Fn(3, 0, "11111")},
    {"F0Off", {"S 01 03 90 93", "S 01 03 80 83"}, Fn(3, 0, "10000") + Fn(3, 0, "0")},
    {"F5ToF8", {"S 01 03 B5 B6"}, Fn(3, 5, "1010")},
    {"F9ToF12", {"S 01 03 AA A9"}, Fn(3, 9, "0101")},
    {"F13ToF20", {"S 03 03 DE 81 5C"}, Fn(3, 13, "10000001")},
    {"F21ToF28LongAddress", {"S 03 C4 D2 DF 80 49"}, Fn(1234, 21, "00000001")},
    {"OtherGroupsKeepTheirStates",
     {"S 01 03 B1 B2", "S 01 03 90 93", "S 01 03 A0 A3", "S 01 03 B1 B2"},
     Fn(3, 5, "1000") + Fn(3, 0, "10000") + Fn(3, 9, "0000")},
    {"ShortAndLongAddressShareOneEntry", {"S 01 03 90 93", "S 01 C0 03 90 53"}, Fn(3, 0, "10000")},
    {"DequeueForgetsFunctions",
     {"S 01 03 90 93", "D 00 03", "S 01 03 90 93"},
     Fn(3, 0, "10000") + Fn(3, 0, "10000")},
    {"ErrorByteIsNotCompared", {"S 01 03 90 00"}, Fn(3, 0, "10000")},
};

const DecoderCase kIgnoredSendPackets[] = {
    {"F13ToF20WithoutErrorDetectionByte", {"S 03 03 DE 81", "S 03 C4 D2 DF 80"}, {}},
    {"LongAddressWithoutInstruction", {"S 01 C0 03", "S 01 C0"}, {}},
    {"TooFewBytes", {"S 01 03", "S 01", "S", "S 0"}, {}},
    {"OtherAddressBytes", {"S 01 00 90 90", "S 01 E8 03 90 7B", "S 01 FF 90 6F"}, {}},
    {"LongAddressZero", {"S 01 C0 00 90 50"}, {}},
    {"BadSeparators", {"S 01 03  90 93", "S 01 03-90 93", "S 01 03 90 93\t"}, {}},
    {"SpeedOrOtherInstructionInS", {"S 01 03 3F 85 B9", "S 01 03 60 63", "S 01 03 C0 C3"}, {}},
};

// Basic accessory packets 10AAAAAA 1aaaCPPD with their check byte: output (A - 1) * 4 + P is
// station number 0x3800 + output, coil D.
const DecoderCase kTurnouts[] = {
    {"Output1BothCoils", {"S 02 81 F8 79", "S 02 81 F9 78"}, Turnout(14336, 0) + Turnout(14336, 1)},
    {"Output4", {"S 02 81 FF 7E", "S 02 81 FE 7F"}, Turnout(14339, 1) + Turnout(14339, 0)},
    {"Output5", {"S 02 82 F9 7B", "S 02 82 F8 7A"}, Turnout(14340, 1) + Turnout(14340, 0)},
    {"Output2044", {"S 02 BF 8F 30", "S 02 BF 8E 31"}, Turnout(16379, 1) + Turnout(16379, 0)},
    {"LowerCaseAndOtherRepeatCount", {"S 01 81 f9 78"}, Turnout(14336, 1)},
    {"RepeatIsSentAgain",
     {"S 02 81 F9 78", "S 02 81 F9 78"},
     Turnout(14336, 1) + Turnout(14336, 1)},
    {"CoilOffIsNotForwarded", {"S 02 81 F1 70", "S 02 BF 87 38"}, {}},
    {"BadCheckByte", {"S 02 81 F9 79", "S 02 81 F9"}, {}},
    {"DecoderAddressZero", {"S 02 80 F9 79"}, {}},
    {"ExtendedAccessoryPackets", {"S 02 81 71 F0", "S 02 81 71 05 F5"}, {}},
    {"LongerPacket", {"S 02 81 F9 78 00"}, {}},
};

INSTANTIATE_TEST_SUITE_P(Speed128, Decoder, ::testing::ValuesIn(kSpeed128),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Refusals, Decoder, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Speed28, Decoder, ::testing::ValuesIn(kSpeed28),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(IgnoredQ, Decoder, ::testing::ValuesIn(kIgnoredSpeedPackets),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Functions, Decoder, ::testing::ValuesIn(kFunctions),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(IgnoredS, Decoder, ::testing::ValuesIn(kIgnoredSendPackets),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Turnouts, Decoder, ::testing::ValuesIn(kTurnouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecoderTable, EntriesAppearForLocomotivesCommandedAndGoOnDequeue) {
    SetConsoleSink([](const char*, std::size_t) {});
    RecordedProtocol protocol;
    std::string reply;
    protocol.Process("Q C0 03 3F 85 78", reply);  // bad check byte
    protocol.Process("S 02 81 F8 79", reply);     // turnout
    EXPECT_EQ(protocol.locos.Size(), 0u);

    protocol.Process("Q C4 D2 3F 05 2C", reply);  // long 1234, step 5 reverse
    const LocoState* state = protocol.locos.Find(1234);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->direction, 0);
    EXPECT_EQ(state->speed, 28);
    EXPECT_EQ(state->mode, 2);

    protocol.Process("D C4 D2", reply);
    EXPECT_EQ(protocol.locos.Find(1234), nullptr);
    SetConsoleSink(nullptr);
}

}  // namespace

#include "protocol/PacketDecoder.hpp"

#include "protocol/LocoTable.hpp"
#include "protocol/ProcessMessage.hpp"
#include "support/RecordingStation.hpp"

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
    void Feed(const std::string& message) {
        PacketDecoder decoder(station, locos);
        switch (message.empty() ? '\0' : message[0]) {
            case 'Q':
                decoder.QueuePacket(message);
                break;
            case 'S':
                decoder.SendPacket(message);
                break;
            case 'D':
                decoder.Dequeue(message);
                break;
            default:
                FAIL() << "not a decoder message: " << message;
        }
    }

    RecordingStation station;
    LocoTable locos;
};

TEST_P(Decoder, SendsOnlyWhatTheStationHasNotAccepted) {
    const DecoderCase& c = GetParam();
    station.results = c.results;
    for (const std::string& message : c.messages)
        Feed(message);
    EXPECT_EQ(station.calls, c.calls);
}

const DecoderCase kSpeed128[] = {
    {"LongForwardOnNewAddressSendsSpeedOnly", {"Q C0 03 3F 85 79"}, {"setLocoSpeed(49155,40)"}},
    {"ReversalSendsDirectionThenSpeedAgain",
     {"Q C0 03 3F 85 79", "Q C0 03 3F 05 F9"},
     {"setLocoSpeed(49155,40)", "setLocoDirection(49155,2)", "setLocoSpeed(49155,40)"}},
    {"ReversalToStopSendsDirectionAndStop",
     {"Q 03 3F 85 B9", "Q 03 3F 00 3C"},
     {"setLocoSpeed(49155,40)", "setLocoDirection(49155,2)", "setLocoSpeed(49155,0)"}},
    {"ReverseOnNewAddressSendsDirectionFirst",
     {"Q C0 03 3F 05 F9", "Q C0 03 3F 05 F9"},
     {"setLocoDirection(49155,2)", "setLocoSpeed(49155,40)"}},
    {"RepeatedSpeedSendsNothing",
     {"Q 03 3F 85 B9", "Q 03 3F 85 B9", "Q 03 3F 85 B9"},
     {"setLocoSpeed(49155,40)"}},
    {"StopIsSentEveryTime",
     {"Q C0 03 3F 80 7C", "Q C0 03 3F 80 7C"},
     {"setLocoSpeed(49155,0)", "setLocoSpeed(49155,0)"}},
    {"EmergencyStopIsAStop",
     {"Q C0 03 3F 85 79", "Q C0 03 3F 81 7D", "Q C0 03 3F 81 7D"},
     {"setLocoSpeed(49155,40)", "setLocoSpeed(49155,0)", "setLocoSpeed(49155,0)"}},
    {"TopAndLowestSteps",
     {"Q C0 03 3F FF 03", "Q C0 03 3F 82 7E"},
     {"setLocoSpeed(49155,1023)", "setLocoSpeed(49155,16)"}},
    {"LongAddress1234Reverse",
     {"Q C4 D2 3F 64 4D"},
     {"setLocoDirection(50386,2)", "setLocoSpeed(50386,805)"}},
    {"HighestLongAddress", {"Q E7 FF 3F 85 A2"}, {"setLocoSpeed(59391,40)"}},
    {"ShortForm", {"Q 03 3F 85 B9"}, {"setLocoSpeed(49155,40)"}},
    {"ShortAndLongAddressShareOneEntry",
     {"Q 03 3F 85 B9", "Q C0 03 3F 85 79"},
     {"setLocoSpeed(49155,40)"}},
    {"DequeueForgetsShortAddress",
     {"Q 03 3F 05 39", "D 00 03", "Q 03 3F 05 39"},
     {"setLocoDirection(49155,2)", "setLocoSpeed(49155,40)", "setLocoDirection(49155,2)",
      "setLocoSpeed(49155,40)"}},
    {"DequeueForgetsLongAddress",
     {"Q C4 D2 3F E4 CD", "D C4 D2", "Q C4 D2 3F E4 CD"},
     {"setLocoSpeed(50386,805)", "setLocoSpeed(50386,805)"}},
    {"DequeueOfAnotherAddressOrMalformedKeepsTheEntry",
     {"Q 03 3F 85 B9", "D 00 04", "D 00 3", "D 00 03 ", "D 40 03", "Q 03 3F 85 B9"},
     {"setLocoSpeed(49155,40)"}},
};

const DecoderCase kRefusals[] = {
    {"RefusedSpeedIsSentAgain",
     {"Q 03 3F 85 B9", "Q 03 3F 85 B9", "Q 03 3F 85 B9"},
     {"setLocoSpeed(49155,40)", "setLocoSpeed(49155,40)"},
     {false, true}},
    {"RefusedDirectionIsSentAgainAndSpeedWithIt",
     {"Q 03 3F 05 39", "Q 03 3F 05 39", "Q 03 3F 05 39"},
     {"setLocoDirection(49155,2)", "setLocoSpeed(49155,40)", "setLocoDirection(49155,2)",
      "setLocoSpeed(49155,40)"},
     {false, true, true, true}},
    {"RefusedFunctionIsSentAgain",
     {"S 01 03 90 93", "S 01 03 90 93", "S 01 03 90 93"},
     {"setLocoFunction(49155,0,1)", "setLocoFunction(49155,0,1)"},
     {false}},
    {"OnlyTheRefusedFunctionOfAGroupIsSentAgain",
     {"S 01 03 83 80", "S 01 03 83 80"},
     {"setLocoFunction(49155,1,1)", "setLocoFunction(49155,2,1)", "setLocoFunction(49155,2,1)"},
     {true, false}},
};

const DecoderCase kSpeed28[] = {
    {"LongForm28StepsNotReadAs128Steps", {"Q C0 64 73 D7"}, {"setLocoSpeed(49252,146)"}},
    {"ShortForm28StepsReverse",
     {"Q 03 46 45"},
     {"setLocoDirection(49155,2)", "setLocoSpeed(49155,328)"}},
    {"TopStepAndLowBitOfTheValue",
     {"Q 03 7F 7C", "Q 03 62 61", "Q 03 52 51"},
     {"setLocoSpeed(49155,1023)", "setLocoSpeed(49155,36)", "setLocoDirection(49155,2)",
      "setLocoSpeed(49155,73)"}},
    {"StopsAndEmergencyStopsSentEveryTime",
     {"Q 03 60 63", "Q 03 70 73", "Q 03 41 42", "Q 03 41 42"},
     {"setLocoSpeed(49155,0)", "setLocoSpeed(49155,0)", "setLocoDirection(49155,2)",
      "setLocoSpeed(49155,0)", "setLocoSpeed(49155,0)"}},
    {"RepeatedSendsNothingAndSharesTheEntryWith128Steps",
     {"Q 03 46 45", "Q 03 46 45", "Q C0 03 3F 85 79", "Q 03 3F 85 B9"},
     {"setLocoDirection(49155,2)", "setLocoSpeed(49155,328)", "setLocoDirection(49155,1)",
      "setLocoSpeed(49155,40)"}},
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

const DecoderCase kFunctions[] = {
    {"AllOffOnNewAddressSendsNothing", {"S 01 03 80 83"}, {}},
    {"F0OnOnceOnly", {"S 01 03 90 93", "S 01 03 90 93"}, {"setLocoFunction(49155,0,1)"}},
    {"F0ToF4InAscendingOrder",
     {"S 01 03 9F 9C"},
     {"setLocoFunction(49155,0,1)", "setLocoFunction(49155,1,1)", "setLocoFunction(49155,2,1)",
      "setLocoFunction(49155,3,1)", "setLocoFunction(49155,4,1)"}},
    {"F0Off",
     {"S 01 03 90 93", "S 01 03 80 83"},
     {"setLocoFunction(49155,0,1)", "setLocoFunction(49155,0,0)"}},
    {"F5ToF8", {"S 01 03 B5 B6"}, {"setLocoFunction(49155,5,1)", "setLocoFunction(49155,7,1)"}},
    {"F9ToF12", {"S 01 03 AA A9"}, {"setLocoFunction(49155,10,1)", "setLocoFunction(49155,12,1)"}},
    {"F13ToF20",
     {"S 03 03 DE 81 5C"},
     {"setLocoFunction(49155,13,1)", "setLocoFunction(49155,20,1)"}},
    {"F21ToF28LongAddress", {"S 03 C4 D2 DF 80 49"}, {"setLocoFunction(50386,28,1)"}},
    {"OtherGroupsKeepTheirStates",
     {"S 01 03 B1 B2", "S 01 03 90 93", "S 01 03 A0 A3", "S 01 03 B1 B2"},
     {"setLocoFunction(49155,5,1)", "setLocoFunction(49155,0,1)"}},
    {"ShortAndLongAddressShareOneEntry",
     {"S 01 03 90 93", "S 01 C0 03 90 53"},
     {"setLocoFunction(49155,0,1)"}},
    {"DequeueForgetsFunctions",
     {"S 01 03 90 93", "D 00 03", "S 01 03 90 93"},
     {"setLocoFunction(49155,0,1)", "setLocoFunction(49155,0,1)"}},
    {"ErrorByteIsNotCompared", {"S 01 03 90 00"}, {"setLocoFunction(49155,0,1)"}},
};

const DecoderCase kIgnoredSendPackets[] = {
    {"F13ToF20WithoutErrorDetectionByte", {"S 03 03 DE 81", "S 03 C4 D2 DF 80"}, {}},
    {"LongAddressWithoutInstruction", {"S 01 C0 03", "S 01 C0"}, {}},
    {"TooFewBytes", {"S 01 03", "S 01", "S", "S 0"}, {}},
    {"AccessoryDecoder", {"S 02 81 F8 79"}, {}},
    {"OtherAddressBytes", {"S 01 00 90 90", "S 01 E8 03 90 7B", "S 01 FF 90 6F"}, {}},
    {"LongAddressZero", {"S 01 C0 00 90 50"}, {}},
    {"BadSeparators", {"S 01 03  90 93", "S 01 03-90 93", "S 01 03 90 93\t"}, {}},
    {"SpeedOrOtherInstructionInS", {"S 01 03 3F 85 B9", "S 01 03 60 63", "S 01 03 C0 C3"}, {}},
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

TEST(DecoderTable, EntriesAppearForPacketsActedOnAndGoOnDequeue) {
    RecordingStation station;
    LocoTable locos;
    PacketDecoder decoder(station, locos);
    decoder.QueuePacket("Q C0 03 3F 85 78");  // bad check byte
    decoder.SendPacket("S 02 81 F8 79");      // accessory
    EXPECT_EQ(locos.Size(), 0u);

    decoder.QueuePacket("Q C4 D2 3F 05 2C");  // long 1234, step 5 reverse
    const LocoState* state = locos.Find(1234);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->direction, 0);
    EXPECT_EQ(state->speed, 40);

    decoder.Dequeue("D C4 D2");
    EXPECT_EQ(locos.Find(1234), nullptr);
}

// The program's ProcessMessage keeps its memory in the process-wide table. With no station
// link every command is refused, so the entry appears with nothing remembered.
TEST(DecoderTable, ProgramKeepsItsMemoryInTheProcessWideTable) {
    ASSERT_EQ(LocoTable::Instance().Find(3), nullptr);
    std::string reply;
    ASSERT_TRUE(ProcessMessage("Q 03 3F 05 39", reply));
    EXPECT_EQ(reply, "O");
    const LocoState* state = LocoTable::Instance().Find(3);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->direction, 1);
    EXPECT_EQ(state->speed, 0);
}

}  // namespace

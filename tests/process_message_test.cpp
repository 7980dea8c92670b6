#include "protocol/ProcessMessage.hpp"

#include "app/ConsoleLog.hpp"
#include "protocol/LocoTable.hpp"
#include "sim/DSAir2Simulator.hpp"
#include "station/NDSDCC.hpp"
#include "support/RecordingStation.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct MessageCase {
    std::string message;
    std::string reply;
    std::vector<std::string> calls;
    std::map<std::int32_t, std::int32_t> cvs = {};  // what the station reports on a CV read
    std::deque<bool> results = {};                  // the station's answers in call order
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << '"';
    for (unsigned char ch : c.message) {
        if (ch >= 0x20 && ch < 0x7F) {
            *os << ch;
        } else {
            *os << "\\x" << std::hex << static_cast<int>(ch) << std::dec;
        }
    }
    *os << '"';
}

class Message : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Message, IsAnsweredOnceWithItsRowsReply) {
    const MessageCase& c = GetParam();
    RecordingStation station;
    station.cvs = c.cvs;
    station.results = c.results;
    LocoTable locos;
    std::string reply = "left over from an earlier message";
    EXPECT_TRUE(ProcessMessage(c.message, reply, station, locos));
    EXPECT_EQ(reply, c.reply);
    EXPECT_EQ(station.calls, c.calls);
}

const MessageCase kFixedReplies[] = {
    {"C", "O", {}},
    {"C 01 02", "O", {}},
    {"F", "O", {}},
    {"X", "O", {}},
    {"M", "P", {}},
    {"M 12", "P", {}},
    {"V", "---", {}},
    {"E", "O", {"setPower(1)"}},
    {"E1", "O", {"setPower(1)"}},
    {"K", "O", {"setPower(0)"}},
    {"E", "O", {"setPower(1)"}, {}, {false}},  // a refused power command is still "O"
    // One message holding an inner carriage return is handled by its first letter.
    {"E\rK", "O", {"setPower(1)"}},
};

const MessageCase kUnknownLetters[] = {
    {"", "?", {}},     {"e", "?", {}},  {"k", "?", {}},   {"H", "?", {}},
    {"I", "?", {}},    {"J", "?", {}},  {"N", "?", {}},   {"O", "?", {}},
    {"T", "?", {}},    {"U", "?", {}},  {"W", "?", {}},   {"A", "?", {}},
    {"Z", "?", {}},    {" E", "?", {}}, {"\rE", "?", {}}, {std::string(1, '\0'), "?", {}},
    {"\xC5", "?", {}},
};

const MessageCase kCopyingReplies[] = {
    {"GD 012", "G120000", {}},
    {"GDxx12yy", "G120000", {}},  // copied as they are, no check
    {"GD 01", "G010000", {}},     // what applications send: the number at 3-4
    {"GD 1", "O", {}},            // too short for a number: not a consist reply
    {"GD", "O", {}},
    {"G", "O", {}},
    {"GX 12", "O", {}},
    {"Gd 012", "O", {}},
    {"L 0003", "L0003000000", {}},
    {"L C4D2 and more", "LC4D2000000", {}},
    {"L 003", "O", {}},  // too short for the four characters
    {"L", "O", {}},
};

const MessageCase kPackets[] = {
    {"Q C0 03 3F 85 79", "O", {"setLocoDirection(49155,1)", "setLocoSpeed(49155,28,2)"}},
    {"Q C0 64 73 D7", "O", {"setLocoDirection(49252,1)", "setLocoSpeed(49252,112,0)"}},
    {"Q C0 03 3F 85 78", "O", {}},
    {"Q", "O", {}},
    {"S 01 03 90 93",
     "O",
     {"setLocoFunction(49155,0,1)", "setLocoFunction(49155,1,0)", "setLocoFunction(49155,2,0)",
      "setLocoFunction(49155,3,0)", "setLocoFunction(49155,4,0)"}},
    {"S 03 03 DE 81", "O", {}},  // F13-F20 without its error-detection byte
    {"S 02 81 F8 79", "O", {"setTurnout(14336,0)"}},
    {"S 02 81 F8 78", "O", {}},  // a turnout packet with a bad check byte
    {"S", "O", {}},
    {"D 00 03", "O", {}},
    {"D", "O", {}},
};

const MessageCase kCvMessages[] = {
    {"P 001 03", "P", {"setLocoConfig(49152,1,3)"}},
    {"P 1f4 Ab", "P", {"setLocoConfig(49152,500,171)"}},
    {"P 001 03", "P", {"setLocoConfig(49152,1,3)"}, {}, {false}},  // refused: still "P"
    {"P 001 0", "P", {}},
    {"P 001 033", "P", {}},
    {"P", "P", {}},
    {"R 001", "CV00103\rP", {"getLocoConfig(49152,1)"}, {{1, 3}}},
    {"R 1f4", "CV1F42A\rP", {"getLocoConfig(49152,500)"}, {{0x1F4, 0x2A}}},
    {"R FFF", "CVFFFFF\rP", {"getLocoConfig(49152,4095)"}, {{0xFFF, 0xFF}}},
    {"R 0x1", "CV00100\rP", {"getLocoConfig(49152,1)"}, {{1, 0}}},
    {"R 01", "--", {}, {{1, 3}}},
    {"R 0012", "--", {}, {{1, 3}}},
    {"R", "--", {}},
    {"R 002", "--", {"getLocoConfig(49152,2)"}},                     // station cannot read it
    {"R 001", "--", {"getLocoConfig(49152,1)"}, {{1, 3}}, {false}},  // refused or timed out
    {"R 001", "--", {"getLocoConfig(49152,1)"}, {{1, 0x100}}},       // no room in two digits
    {"R 001", "--", {"getLocoConfig(49152,1)"}, {{1, -1}}},
    {"R -01", "--", {}, {{-1, 3}}},  // a negative CV number is not asked for
    {"R -FF", "--", {}},
};

INSTANTIATE_TEST_SUITE_P(FixedReplies, Message, ::testing::ValuesIn(kFixedReplies));
INSTANTIATE_TEST_SUITE_P(UnknownLetters, Message, ::testing::ValuesIn(kUnknownLetters));
INSTANTIATE_TEST_SUITE_P(CopyingReplies, Message, ::testing::ValuesIn(kCopyingReplies));
INSTANTIATE_TEST_SUITE_P(Packets, Message, ::testing::ValuesIn(kPackets));
INSTANTIATE_TEST_SUITE_P(CvService, Message, ::testing::ValuesIn(kCvMessages));

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleSink([this](const char* text, std::size_t size) {
            lines.emplace_back(text, size);
            // What the station had been asked when this line was written.
            callsAtLine.push_back(station.calls.size());
        });
    }
    void TearDown() override { SetConsoleSink(nullptr); }

    RecordingStation station;
    LocoTable locos;
    std::vector<std::string> lines;
    std::vector<std::size_t> callsAtLine;
};

TEST_F(Console, EchoesTheMessageBeforeAnythingIsSent) {
    std::string reply;
    ProcessMessage("Q C0 03 3F 05 F9", reply, station, locos);
    ASSERT_EQ(lines, std::vector<std::string>{"[E Recv] Q C0 03 3F 05 F9\n"});
    EXPECT_EQ(callsAtLine[0], 0u);
    EXPECT_EQ(station.calls.size(), 2u);
}

TEST_F(Console, EchoesUnknownAndEmptyMessagesToo) {
    std::string reply;
    ProcessMessage("", reply, station, locos);
    ProcessMessage("e", reply, station, locos);
    EXPECT_EQ(lines, (std::vector<std::string>{"[E Recv] \n", "[E Recv] e\n"}));
}

TEST(Reply, NeverCarriesTextOverFromTheMessageBefore) {
    RecordingStation station;
    LocoTable locos;
    std::string reply;
    ProcessMessage("L 0003", reply, station, locos);
    ASSERT_EQ(reply, "L0003000000");
    ProcessMessage("E", reply, station, locos);
    EXPECT_EQ(reply, "O");
    ProcessMessage("R 001", reply, station, locos);
    EXPECT_EQ(reply, "--");
    ProcessMessage("zz", reply, station, locos);
    EXPECT_EQ(reply, "?");
}

TEST(Reply, TableOutlivesMessages) {
    RecordingStation station;
    LocoTable locos;
    std::string reply;
    ProcessMessage("Q 03 3F 85 B9", reply, station, locos);
    ProcessMessage("Q C0 03 3F 85 79", reply, station, locos);
    ProcessMessage("D C0 03", reply, station, locos);
    ProcessMessage("Q 03 3F 85 B9", reply, station, locos);
    EXPECT_EQ(station.calls,
              (std::vector<std::string>{"setLocoDirection(49155,1)", "setLocoSpeed(49155,28,2)",
                                        "setLocoDirection(49155,1)", "setLocoSpeed(49155,28,2)"}));
}

// The program's own overload: the station link on a simulated DSAir2 and the process-wide
// locomotive table.
class ThroughTheLink : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleSink([](const char*, std::size_t) {});
        sim = std::make_unique<DSAir2Simulator>();
        std::string error;
        ASSERT_TRUE(sim->Start(error)) << error;
        ASSERT_TRUE(NDSDCC::Open(sim->Path().c_str()));
        openCommands = sim->Commands().size();
    }
    void TearDown() override {
        NDSDCC::Close();
        sim.reset();
        SetConsoleSink(nullptr);
    }

    // The commands the simulator received since the link was opened.
    std::vector<std::string> Sent() const {
        const std::vector<std::string> all = sim->Commands();
        return {all.begin() + static_cast<std::ptrdiff_t>(openCommands), all.end()};
    }

    std::unique_ptr<DSAir2Simulator> sim;
    std::size_t openCommands = 0;
};

TEST_F(ThroughTheLink, CvReadIsAnsweredWithTheStationsValue) {
    sim->SetCv(1, 3);
    std::string reply;
    EXPECT_TRUE(ProcessMessage("R 001", reply));
    EXPECT_EQ(reply, "CV00103\rP");
    EXPECT_EQ(Sent(), std::vector<std::string>{"getLocoConfig(49152,1)"});
}

TEST_F(ThroughTheLink, ReversalLeavesTheLocomotiveRunning) {
    std::string reply;
    ProcessMessage("Q C0 03 3F 85 79", reply);
    EXPECT_EQ(reply, "O");
    ProcessMessage("Q C0 03 3F 05 F9", reply);
    EXPECT_EQ(reply, "O");
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"setLocoDirection(49155,1)", "setLocoSpeed(49155,28,2)",
                                        "setLocoDirection(49155,2)", "setLocoSpeed(49155,28,2)"}));
    // Step 5 reverse on the rails.
    EXPECT_EQ(sim->State().rails, "03 3F 05");
}

TEST_F(ThroughTheLink, RefusedSpeedIsSentAgainWhenRepeated) {
    sim->SetStatusFor("setLocoSpeed", 300);
    std::string reply;
    ProcessMessage("Q 05 3F 85 BF", reply);
    EXPECT_EQ(reply, "O");
    sim->SetStatusFor("setLocoSpeed", -1);
    ProcessMessage("Q 05 3F 85 BF", reply);
    ProcessMessage("Q 05 3F 85 BF", reply);
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"setLocoDirection(49157,1)", "setLocoSpeed(49157,28,2)",
                                        "setLocoSpeed(49157,28,2)"}));
    EXPECT_EQ(sim->State().rails, "05 3F 85");
}

}  // namespace

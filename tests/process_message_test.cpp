#include "protocol/ProcessMessage.hpp"

#include "protocol/NDSDCCStation.hpp"
#include "sim/DSAir2Simulator.hpp"
#include "station/NDSDCC.hpp"
#include "tests/support/ConsoleCapture.hpp"
#include "tests/support/RecordedProtocol.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
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
    std::deque<CommandOutcome> outcomes = {};       // the station's answers in call order
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
    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
    for (const auto& [cv, value] : c.cvs)
        station.SetCv(cv, value);
    station.Script(c.outcomes);
    std::string reply = "left over from an earlier message";
    protocol.Process(c.message, reply);
    EXPECT_EQ(reply, c.reply);
    EXPECT_EQ(station.Calls(), c.calls);
}

constexpr CommandOutcome kRefused = CommandOutcome::Refused;

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
    {"E", "O", {"setPower(1)"}, {}, {kRefused}},  // a refused power command is still "O"
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
    // Locomotive 3 has the station's boot entry: forward, standing.
    {"Q C0 03 3F 85 79", "O", {"setLocoSpeed(49155,28,2)"}},
    {"Q C0 64 73 D7", "O", {"setLocoDirection(49252,1)", "setLocoSpeed(49252,112,0)"}},
    {"Q C0 03 3F 85 78", "O", {}},
    {"Q", "O", {}},
    {"S 01 03 90 93", "O", {"setLocoFunction(49155,0,1)"}},
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
    {"P 001 03", "--", {"setLocoConfig(49152,1,3)"}, {}, {kRefused}},  // refused or unanswered
    {"P 001 0", "P", {}},
    {"P 001 033", "P", {}},
    {"P", "P", {}},
    {"R 001", "CV00103\rP", {"getLocoConfig(49152,1)"}, {{1, 3}}},
    {"R 1f4", "CV1F42A\rP", {"getLocoConfig(49152,500)"}, {{0x1F4, 0x2A}}},
    {"R FFF", "CVFFFFF\rP", {"getLocoConfig(49152,4095)"}, {{0xFFF, 0xFF}}},
    // Fields that are not all hex digits are answered "--" and send nothing: a service-mode
    // operation reaches every decoder on the track.
    {"R 0x1", "--", {}, {{1, 0}}},
    {"R  01", "--", {}, {{1, 0}}},
    {"R 0 1", "--", {}, {{1, 0}}},
    {"R +01", "--", {}, {{1, 0}}},
    {"R 00G", "--", {}, {{0, 0}}},
    {"P zzz 05", "--", {}},
    {"P 001 zz", "--", {}},
    {"P 0x1 05", "--", {}},
    {"P -01 05", "--", {}},
    {"P 001  5", "--", {}},
    {"P 00 105", "--", {}},
    {"P 000 05", "--", {}},  // there is no CV 0
    {"P 401 05", "--", {}},  // nor one above 1024
    {"P 400 05", "P", {"setLocoConfig(49152,1024,5)"}},
    {"R 01", "--", {}, {{1, 3}}},
    {"R 0012", "--", {}, {{1, 3}}},
    {"R", "--", {}},
    {"R 002", "--", {"getLocoConfig(49152,2)"}},                        // station cannot read it
    {"R 001", "--", {"getLocoConfig(49152,1)"}, {{1, 3}}, {kRefused}},  // refused or timed out
    {"R 001", "--", {"getLocoConfig(49152,1)"}, {{1, 0x100}}},          // no room in two digits
    {"R 001", "--", {"getLocoConfig(49152,1)"}, {{1, -1}}},
    {"R -01", "--", {}, {{-1, 3}}},  // a negative CV number is not asked for
    {"R -FF", "--", {}},
};

// Register mode: "Vn" reads, "Sn vv" writes register n; registers 1-4 are CVs 1-4, 5 is CV 29,
// 6 (the page register) has no CV, 7 and 8 are CVs 7 and 8.
const MessageCase kRegisterMessages[] = {
    {"V1", "V103\rP", {"getLocoConfig(49152,1)"}, {{1, 3}}},
    {"V5", "V506\rP", {"getLocoConfig(49152,29)"}, {{29, 6}}},
    {"V7", "V70A\rP", {"getLocoConfig(49152,7)"}, {{7, 10}}},
    {"V8", "V8FF\rP", {"getLocoConfig(49152,8)"}, {{8, 0xFF}}},
    {"V6", "--", {}, {{6, 1}}},
    {"V2", "--", {"getLocoConfig(49152,2)"}},                        // the station cannot read it
    {"V3", "--", {"getLocoConfig(49152,3)"}, {{3, 5}}, {kRefused}},  // refused or unanswered
    {"V4", "--", {"getLocoConfig(49152,4)"}, {{4, 0x100}}},
    // Every other "V" asks for the version.
    {"V0", "---", {}},
    {"V9", "---", {}},
    {"V12", "---", {}},
    {"V1 ", "---", {}},
    {"v1", "?", {}},
    {"S1 05", "O", {"setLocoConfig(49152,1,5)"}},
    {"S5 2e", "O", {"setLocoConfig(49152,29,46)"}},
    {"S8 FF", "O", {"setLocoConfig(49152,8,255)"}},
    {"S6 05", "--", {}},
    {"S1 05", "--", {"setLocoConfig(49152,1,5)"}, {}, {kRefused}},
    // Not the register form: a packet, malformed, as before.
    {"S9 05", "O", {}},
    {"S1 0G", "O", {}},
    {"S1 05 ", "O", {}},
    {"S1-05", "O", {}},
};

INSTANTIATE_TEST_SUITE_P(FixedReplies, Message, ::testing::ValuesIn(kFixedReplies));
INSTANTIATE_TEST_SUITE_P(UnknownLetters, Message, ::testing::ValuesIn(kUnknownLetters));
INSTANTIATE_TEST_SUITE_P(CopyingReplies, Message, ::testing::ValuesIn(kCopyingReplies));
INSTANTIATE_TEST_SUITE_P(Packets, Message, ::testing::ValuesIn(kPackets));
INSTANTIATE_TEST_SUITE_P(CvService, Message, ::testing::ValuesIn(kCvMessages));
INSTANTIATE_TEST_SUITE_P(Registers, Message, ::testing::ValuesIn(kRegisterMessages));

// A message answered at once is carried out on the server's own thread: one that waits for the
// station there would hold up reading and writing for every client.
TEST(AnsweredAtOnce, IsEveryMessageThatNeverWaitsForTheStationAndNoOther) {
    const std::pair<const char*, bool> cases[] = {
        {"V", true},
        {"V0", true},
        {"V9", true},
        {"C", true},
        {"F", true},
        {"M", true},
        {"GD 01", true},
        {"L 0003", true},
        {"z", true},
        {"", true},
        {"Q C0 03 3F 85 79", true},
        {"S 01 03 90 93", true},
        {"S1 5", true},
        {"V1", false},
        {"V8", false},
        {"S1 05", false},
        {"S8 FF", false},
        {"E", false},
        {"K", false},
        {"X", false},
        {"D 00 03", false},
        {"P 001 03", false},
        {"R 001", false},
    };
    for (const auto& [message, atOnce] : cases)
        EXPECT_EQ(AnsweredAtOnce(message), atOnce) << '"' << message << '"';
}

// The station switches the track off after every CV read or write; "X" (leaving programming)
// switches it back on when the application had it on.
struct PowerCase {
    const char* name;
    std::vector<std::string> messages;
    std::vector<std::string> calls;
    std::vector<std::string> console;  // lines beyond the "[E Recv]" echoes
};

void PrintTo(const PowerCase& c, std::ostream* os) {
    *os << c.name;
}

const char kRestored[] = "Track power switched back on after programming.\n";

class PowerAfterProgramming : public ::testing::TestWithParam<PowerCase> {};

TEST_P(PowerAfterProgramming, IsRestoredOnlyWhenProgrammingSwitchedItOff) {
    const PowerCase& c = GetParam();
    ConsoleCapture capture;
    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
    station.SetCv(1, 3);
    std::string reply;
    for (const std::string& message : c.messages)
        protocol.Process(message, reply);
    std::vector<std::string> console;
    for (const std::string& line : capture.Lines()) {
        if (line.rfind("[E Recv] ", 0) != 0) console.push_back(line);
    }
    EXPECT_EQ(station.Calls(), c.calls);
    EXPECT_EQ(console, c.console);
}

const PowerCase kPowerCases[] = {
    {"OnBeforeReadIsRestored",
     {"E", "M", "R 001", "X", "X"},
     {"setPower(1)", "getLocoConfig(49152,1)", "setPower(1)"},
     {kRestored}},
    {"OnBeforeRegisterWriteIsRestored",
     {"E", "M", "S1 07", "X"},
     {"setPower(1)", "setLocoConfig(49152,1,7)", "setPower(1)"},
     {kRestored}},
    {"OffBeforeStaysOff",
     {"E", "K", "M", "P 003 05", "X"},
     {"setPower(1)", "setPower(0)", "setLocoConfig(49152,3,5)"},
     {}},
    {"NeverOnStaysOff", {"M", "V1", "X"}, {"getLocoConfig(49152,1)"}, {}},
    {"NoProgrammingNothingToRestore", {"E", "M", "X"}, {"setPower(1)"}, {}},
    {"PowerOnInBetweenLeavesNothingToRestore",
     {"E", "R 001", "E", "X"},
     {"setPower(1)", "getLocoConfig(49152,1)", "setPower(1)"},
     {}},
    // Programming on a powered layout without "M" and "X" is the application's choice.
    {"WithoutLeavingNothingIsSwitchedOn",
     {"E", "R 001", "Q 03 3F 85 B9"},
     {"setPower(1)", "getLocoConfig(49152,1)", "setLocoSpeed(49155,28,2)"},
     {}},
    // A page-register read and a malformed write never reach the station.
    {"NothingSentNothingToRestore", {"E", "V6", "P 001", "X"}, {"setPower(1)"}, {}},
};

INSTANTIATE_TEST_SUITE_P(Programming, PowerAfterProgramming, ::testing::ValuesIn(kPowerCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PowerAfterProgramming, RestoreThatFailsIsTriedAgain) {
    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
    station.SetCv(1, 3);
    station.Script({CommandOutcome::Done, CommandOutcome::Done, kRefused, CommandOutcome::Done});
    std::string reply;
    for (const char* message : {"E", "R 001", "X", "X", "X"})
        protocol.Process(message, reply);
    EXPECT_EQ(station.Calls(), (std::vector<std::string>{"setPower(1)", "getLocoConfig(49152,1)",
                                                         "setPower(1)", "setPower(1)"}));
}

// A short circuit switched the track off meanwhile: the track counts as off, and leaving
// programming does not switch it on behind the person who has to remove the cause.
TEST(PowerAfterProgramming, ATripMeanwhileLeavesTheTrackOff) {
    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
    station.SetCv(1, 3);
    std::string reply;
    for (const char* message : {"E", "M", "R 001"})
        protocol.Process(message, reply);
    station.Trip();
    protocol.Process("X", reply);
    EXPECT_EQ(station.Calls(), (std::vector<std::string>{"setPower(1)", "getLocoConfig(49152,1)"}));
}

class Console : public ::testing::Test {
protected:
    ConsoleCapture console;
    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
};

TEST_F(Console, EchoesTheMessageBeforeAnythingIsSent) {
    // The echo is written by the time the message is handed on; the station waits at its gate.
    station.Close();
    std::string reply;
    ProcessMessage("Q C0 03 3F 05 F9", reply, protocol.scheduler);
    EXPECT_EQ(console.Lines(), std::vector<std::string>{"[E Recv] Q C0 03 3F 05 F9\n"});
    EXPECT_TRUE(station.Calls().empty());
    station.Open();
    protocol.scheduler.RunPending();
    EXPECT_EQ(station.Calls().size(), 2u);
}

TEST_F(Console, EchoesUnknownAndEmptyMessagesToo) {
    std::string reply;
    protocol.Process("", reply);
    protocol.Process("e", reply);
    EXPECT_EQ(console.Lines(), (std::vector<std::string>{"[E Recv] \n", "[E Recv] e\n"}));
}

TEST(Reply, NeverCarriesTextOverFromTheMessageBefore) {
    RecordedProtocol protocol;
    std::string reply;
    protocol.Process("L 0003", reply);
    ASSERT_EQ(reply, "L0003000000");
    protocol.Process("E", reply);
    EXPECT_EQ(reply, "O");
    protocol.Process("R 001", reply);
    EXPECT_EQ(reply, "--");
    protocol.Process("zz", reply);
    EXPECT_EQ(reply, "?");
}

// Short and long address 3 are one locomotive; "D" forgets what the application asked for it,
// not what the station holds, so the same speed again needs nothing.
TEST(Reply, WhatTheStationHoldsOutlivesMessagesAndDequeue) {
    RecordedProtocol protocol;
    RecordingStation& station = protocol.station;
    std::string reply;
    protocol.Process("Q 03 3F 85 B9", reply);
    protocol.Process("Q C0 03 3F 85 79", reply);
    protocol.Process("D C0 03", reply);
    protocol.Process("Q 03 3F 85 B9", reply);
    protocol.Process("Q 03 3F 86 BA", reply);
    EXPECT_EQ(station.Calls(),
              (std::vector<std::string>{"setLocoSpeed(49155,28,2)", "setLocoSpeed(49155,36,2)"}));
}

// The program's station: the station link on a simulated DSAir2.
class ThroughTheLink : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<DSAir2Simulator>();
        std::string error;
        ASSERT_TRUE(sim->Start(error)) << error;
        ASSERT_TRUE(NDSDCC::Open(sim->Path().c_str()));
        openCommands = sim->Commands().size();
    }
    void TearDown() override {
        NDSDCC::Close();
        sim.reset();
    }

    // The commands the simulator received since the link was opened.
    std::vector<std::string> Sent() const {
        const std::vector<std::string> all = sim->Commands();
        return {all.begin() + static_cast<std::ptrdiff_t>(openCommands), all.end()};
    }

    std::string Console() { return console.Text(); }

    // Each message with its reply, in order.
    void Exchange(const std::vector<std::pair<std::string, std::string>>& exchanges) {
        for (const auto& [message, expected] : exchanges) {
            std::string reply;
            link.Process(message, reply);
            EXPECT_EQ(reply, expected) << message;
        }
    }

    ConsoleCapture console;
    std::unique_ptr<DSAir2Simulator> sim;
    std::size_t openCommands = 0;
    ManualProtocol<NDSDCCStation> link;
};

TEST_F(ThroughTheLink, CvReadIsAnsweredWithTheStationsValue) {
    sim->SetCv(1, 3);
    std::string reply;
    link.Process("R 001", reply);
    EXPECT_EQ(reply, "CV00103\rP");
    EXPECT_EQ(Sent(), std::vector<std::string>{"getLocoConfig(49152,1)"});
}

TEST_F(ThroughTheLink, ReversalLeavesTheLocomotiveRunning) {
    std::string reply;
    link.Process("Q C0 03 3F 85 79", reply);
    EXPECT_EQ(reply, "O");
    link.Process("Q C0 03 3F 05 F9", reply);
    EXPECT_EQ(reply, "O");
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"setLocoSpeed(49155,28,2)", "setLocoDirection(49155,2)",
                                        "setLocoSpeed(49155,28,2)"}));
    // Step 5 reverse on the rails.
    EXPECT_EQ(sim->State().rails, "03 3F 05");
}

TEST_F(ThroughTheLink, RefusedSpeedIsSentAgainWhenRepeated) {
    sim->SetStatusFor("setLocoSpeed", 300);
    std::string reply;
    link.Process("Q 05 3F 85 BF", reply);
    EXPECT_EQ(reply, "O");
    sim->SetStatusFor("setLocoSpeed", -1);
    link.Process("Q 05 3F 85 BF", reply);
    link.Process("Q 05 3F 85 BF", reply);
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"setLocoDirection(49157,1)", "setLocoSpeed(49157,28,2)",
                                        "setLocoSpeed(49157,28,2)"}));
    EXPECT_EQ(sim->State().rails, "05 3F 85");
}

TEST_F(ThroughTheLink, RegisterReadsReportTheRegistersCv) {
    sim->SetCv(29, 0x26);
    sim->SetCv(8, 145);
    sim->SetCv(4, 65535);  // the decoder does not answer
    Exchange({{"V1", "V103\rP"}, {"V5", "V526\rP"}, {"V6", "--"}, {"V8", "V891\rP"}, {"V4", "--"}});
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"getLocoConfig(49152,1)", "getLocoConfig(49152,29)",
                                        "getLocoConfig(49152,8)", "getLocoConfig(49152,4)"}));
}

TEST_F(ThroughTheLink, RegisterWritesReachTheDecoder) {
    Exchange({{"S3 07", "O"},
              {"R 003", "CV00307\rP"},
              {"S5 22", "O"},
              {"V5", "V522\rP"},
              {"S6 07", "--"}});
    EXPECT_EQ(sim->State().cvs.at(3), 7);
    EXPECT_EQ(sim->State().cvs.at(29), 0x22);
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"setLocoConfig(49152,3,7)", "getLocoConfig(49152,3)",
                                        "setLocoConfig(49152,29,34)", "getLocoConfig(49152,29)"}));
}

// "P" is confirmed only when the station carried the write out.
TEST_F(ThroughTheLink, CvWriteIsConfirmedOnlyWhenTheStationWroteIt) {
    const struct {
        const char* what;
        int status;  // the station's answer to setLocoConfig; -1 its usual one, 0 none
        const char* reply;
    } cases[] = {
        {"answered", -1, "P"},
        {"refused", 300, "--"},
        {"silent", 0, "--"},
    };
    for (const auto& c : cases) {
        sim->SetStatusFor("setLocoConfig", c.status);
        Exchange({{"P 003 09", c.reply}});
    }
    NDSDCC::Close();
    Exchange({{"P 003 09", "--"}});  // not connected
    EXPECT_EQ(Sent(), std::vector<std::string>(3, "setLocoConfig(49152,3,9)"));
}

TEST_F(ThroughTheLink, LeavingProgrammingRestoresThePowerTheApplicationHadOn) {
    Exchange({{"E", "O"}, {"M", "P"}, {"R 001", "CV00103\rP"}});
    EXPECT_FALSE(sim->State().power);
    Exchange({{"X", "O"}});
    EXPECT_TRUE(sim->State().power);
    EXPECT_EQ(Sent(),
              (std::vector<std::string>{"setPower(1)", "getLocoConfig(49152,1)", "setPower(1)"}));
    EXPECT_NE(Console().find("Track power switched back on after programming.\n"),
              std::string::npos);
}

TEST_F(ThroughTheLink, LeavingProgrammingLeavesAPowerOffTrackOff) {
    Exchange({{"K", "O"}, {"M", "P"}, {"P 003 05", "P"}, {"X", "O"}});
    EXPECT_FALSE(sim->State().power);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"setPower(0)", "setLocoConfig(49152,3,5)"}));
    EXPECT_EQ(Console().find("Track power switched back on"), std::string::npos);
}

TEST_F(ThroughTheLink, ProgrammingOnTheMainIsReportedAndNothingSent) {
    // Short address 3, write byte (1110 11VV) of CV 0x001 + 1 = 2, value 5.
    Exchange({{"S 01 03 EC 01 05 EB", "O"}, {"E", "O"}});
    EXPECT_NE(
        Console().find("The DSAir2 cannot program on the main: CV 2 of locomotive 3 ignored."),
        std::string::npos)
        << Console();
    EXPECT_EQ(Sent(), std::vector<std::string>{"setPower(1)"});
}

}  // namespace
